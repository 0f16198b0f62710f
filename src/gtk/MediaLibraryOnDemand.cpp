// The media library (libavformat) of the desktop app, loaded when the first file is checked
// rather than when the app starts.
//
// libavformat brings about sixty codec and protocol libraries with it. Loaded with the program,
// each of them is mapped and relocated, and every symbol the toolkit and web engine look up
// passes them first: that costs the app a noticeable part of its start-up and a few MiB that it
// holds all day, while only the check of an opened file needs the library. The few functions the
// engine calls are defined here, in the program itself, so that it is not linked against the
// library (see the --as-needed link in CMakeLists.txt), and forward to the library once loaded.
//
// Threads: any thread; the library is loaded once, by the first caller.

#include <dlfcn.h>

#include <cerrno>
#include <mutex>

extern "C" {
#include <libavformat/avformat.h>
#include <libavformat/version_major.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/macros.h>
#include <libavutil/version.h>
}

namespace {

#define VHBR_SONAME(lib, major) "lib" lib ".so." AV_STRINGIFY(major)

struct MediaLibrary {
    decltype(&av_dict_set) dictSet = nullptr;
    decltype(&av_dict_free) dictFree = nullptr;
    decltype(&av_log_set_level) logSetLevel = nullptr;
    decltype(&avformat_open_input) openInput = nullptr;
    decltype(&avformat_find_stream_info) findStreamInfo = nullptr;
    decltype(&avformat_close_input) closeInput = nullptr;

    // All or nothing: without the library every file is checked as one whose duration is unknown.
    static const MediaLibrary& get() {
        static MediaLibrary library;
        static std::once_flag once;
        std::call_once(once, [] { library.load(); });
        return library;
    }

private:
    void load() {
        // Kept loaded for the life of the app: the next check would only load it again.
        void* util = dlopen(VHBR_SONAME("avutil", LIBAVUTIL_VERSION_MAJOR), RTLD_NOW | RTLD_LOCAL);
        void* format = dlopen(VHBR_SONAME("avformat", LIBAVFORMAT_VERSION_MAJOR), RTLD_NOW | RTLD_LOCAL);
        if (!util || !format) return;
        MediaLibrary found;
        found.dictSet = reinterpret_cast<decltype(dictSet)>(dlsym(util, "av_dict_set"));
        found.dictFree = reinterpret_cast<decltype(dictFree)>(dlsym(util, "av_dict_free"));
        found.logSetLevel = reinterpret_cast<decltype(logSetLevel)>(dlsym(util, "av_log_set_level"));
        found.openInput = reinterpret_cast<decltype(openInput)>(dlsym(format, "avformat_open_input"));
        found.findStreamInfo =
            reinterpret_cast<decltype(findStreamInfo)>(dlsym(format, "avformat_find_stream_info"));
        found.closeInput = reinterpret_cast<decltype(closeInput)>(dlsym(format, "avformat_close_input"));
        if (found.dictSet && found.dictFree && found.logSetLevel && found.openInput && found.findStreamInfo &&
            found.closeInput)
            *this = found;
    }
};

}  // namespace

// Hidden: the engine's calls bind to these inside the program, and a library loaded later still
// finds its own functions rather than these.
#define VHBR_FORWARD extern "C" __attribute__((visibility("hidden")))

VHBR_FORWARD int av_dict_set(AVDictionary** pm, const char* key, const char* value, int flags) {
    const auto& library = MediaLibrary::get();
    return library.dictSet ? library.dictSet(pm, key, value, flags) : AVERROR(ENOSYS);
}

VHBR_FORWARD void av_dict_free(AVDictionary** m) {
    // Only av_dict_set fills a dictionary, so it is empty when the library is missing.
    if (const auto& library = MediaLibrary::get(); library.dictFree) library.dictFree(m);
}

VHBR_FORWARD void av_log_set_level(int level) {
    if (const auto& library = MediaLibrary::get(); library.logSetLevel) library.logSetLevel(level);
}

VHBR_FORWARD int avformat_open_input(AVFormatContext** ps, const char* url, const AVInputFormat* fmt,
                                     AVDictionary** options) {
    const auto& library = MediaLibrary::get();
    return library.openInput ? library.openInput(ps, url, fmt, options) : AVERROR(ENOSYS);
}

VHBR_FORWARD int avformat_find_stream_info(AVFormatContext* ic, AVDictionary** options) {
    const auto& library = MediaLibrary::get();
    return library.findStreamInfo ? library.findStreamInfo(ic, options) : AVERROR(ENOSYS);
}

VHBR_FORWARD void avformat_close_input(AVFormatContext** s) {
    if (const auto& library = MediaLibrary::get(); library.closeInput) library.closeInput(s);
}
