// The media library (libavformat) of the desktop app and the CLI, loaded when the first file is
// checked rather than when the program starts.
//
// libavformat brings about sixty codec and protocol libraries with it. Loaded with the program,
// each of them is mapped and relocated, and every symbol the toolkit and web engine look up
// passes them first: that costs the app a noticeable part of its start-up and a few MiB that it
// holds all day, while only the check of an opened file needs the library. The few functions the
// engine calls are defined here, in the program itself, so that it is not linked against the
// library (see the --as-needed link in CMakeLists.txt), and forward to the library, which is
// loaded for a check and unloaded once no dictionary or opened file of it is left: the app does
// not hold the libraries' memory between uploads.
//
// Threads: any thread; checks may run at the same time.

#include <dlfcn.h>

#include <cerrno>
#include <mutex>
#include <optional>

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

class MediaLibrary {
public:
    decltype(&av_dict_set) dictSet = nullptr;
    decltype(&av_dict_free) dictFree = nullptr;
    decltype(&av_log_set_level) logSetLevel = nullptr;
    decltype(&avformat_open_input) openInput = nullptr;
    decltype(&avformat_find_stream_info) findStreamInfo = nullptr;
    decltype(&avformat_close_input) closeInput = nullptr;

    static MediaLibrary& shared() {
        static MediaLibrary library;
        return library;
    }

    // Loads the library if need be and counts a user: a call in progress, a dictionary or an
    // opened file. False when it cannot be loaded: every file is then one of unknown duration.
    bool retain() {
        std::lock_guard lock(mutex_);
        if (!format_ && !load()) return false;
        ++users_;
        return true;
    }

    void release() {
        std::lock_guard lock(mutex_);
        if (--users_ == 0) unload();
    }

    // Applied now and to every later load.
    void setLogLevel(int level) {
        std::lock_guard lock(mutex_);
        logLevel_ = level;
        if (format_) logSetLevel(level);
    }

private:
    bool load() {
        util_ = dlopen(VHBR_SONAME("avutil", LIBAVUTIL_VERSION_MAJOR), RTLD_NOW | RTLD_LOCAL | kKeepMapped);
        format_ = dlopen(VHBR_SONAME("avformat", LIBAVFORMAT_VERSION_MAJOR), RTLD_NOW | RTLD_LOCAL | kKeepMapped);
        if (util_ && format_) {
            dictSet = reinterpret_cast<decltype(dictSet)>(dlsym(util_, "av_dict_set"));
            dictFree = reinterpret_cast<decltype(dictFree)>(dlsym(util_, "av_dict_free"));
            logSetLevel = reinterpret_cast<decltype(logSetLevel)>(dlsym(util_, "av_log_set_level"));
            openInput = reinterpret_cast<decltype(openInput)>(dlsym(format_, "avformat_open_input"));
            findStreamInfo =
                reinterpret_cast<decltype(findStreamInfo)>(dlsym(format_, "avformat_find_stream_info"));
            closeInput = reinterpret_cast<decltype(closeInput)>(dlsym(format_, "avformat_close_input"));
        }
        if (!dictSet || !dictFree || !logSetLevel || !openInput || !findStreamInfo || !closeInput) {
            unload();
            return false;
        }
        if (logLevel_) logSetLevel(*logLevel_);
        return true;
    }

    void unload() {
        if (format_) dlclose(format_);
        if (util_) dlclose(util_);
        format_ = util_ = nullptr;
        dictSet = nullptr, dictFree = nullptr, logSetLevel = nullptr;
        openInput = nullptr, findStreamInfo = nullptr, closeInput = nullptr;
    }

    // LeakSanitizer takes what an unloaded library still held (its own lasting allocations) for
    // leaks it cannot even name: in address-sanitizer builds the libraries stay mapped after their
    // last user, as they would in a process that never unloads them.
#if defined(__SANITIZE_ADDRESS__)
    static constexpr int kKeepMapped = RTLD_NODELETE;
#else
    static constexpr int kKeepMapped = 0;
#endif

    std::mutex mutex_;
    void* util_ = nullptr;
    void* format_ = nullptr;
    int users_ = 0;
    std::optional<int> logLevel_;
};

// The library stays loaded during one forwarded call.
class Use {
public:
    Use() : loaded_(MediaLibrary::shared().retain()) {}
    ~Use() {
        if (loaded_) MediaLibrary::shared().release();
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    explicit operator bool() const { return loaded_; }
    MediaLibrary* operator->() const { return &MediaLibrary::shared(); }

private:
    bool loaded_;
};

}  // namespace

// Hidden: the engine's calls bind to these inside the program, and the library, once loaded,
// still finds its own functions rather than these.
#define VHBR_FORWARD extern "C" __attribute__((visibility("hidden")))

VHBR_FORWARD int av_dict_set(AVDictionary** pm, const char* key, const char* value, int flags) {
    const Use library;
    if (!library) return AVERROR(ENOSYS);
    const bool existed = *pm != nullptr;
    const int result = library->dictSet(pm, key, value, flags);
    if (!existed && *pm) MediaLibrary::shared().retain();  // until av_dict_free
    return result;
}

VHBR_FORWARD void av_dict_free(AVDictionary** m) {
    if (!m || !*m) return;
    {
        const Use library;
        library->dictFree(m);
    }
    MediaLibrary::shared().release();
}

VHBR_FORWARD void av_log_set_level(int level) { MediaLibrary::shared().setLogLevel(level); }

VHBR_FORWARD int avformat_open_input(AVFormatContext** ps, const char* url, const AVInputFormat* fmt,
                                     AVDictionary** options) {
    const Use library;
    if (!library) return AVERROR(ENOSYS);
    const bool hadOptions = options && *options;
    const int result = library->openInput(ps, url, fmt, options);
    if (result >= 0 && *ps) MediaLibrary::shared().retain();  // until avformat_close_input
    // The options left unused come back in a new dictionary; with none left there is none.
    const bool hasOptions = options && *options;
    if (hasOptions && !hadOptions) MediaLibrary::shared().retain();
    if (hadOptions && !hasOptions) MediaLibrary::shared().release();
    return result;
}

VHBR_FORWARD int avformat_find_stream_info(AVFormatContext* ic, AVDictionary** options) {
    const Use library;
    return library ? library->findStreamInfo(ic, options) : AVERROR(ENOSYS);
}

VHBR_FORWARD void avformat_close_input(AVFormatContext** s) {
    if (!s || !*s) return;
    {
        const Use library;
        library->closeInput(s);
    }
    MediaLibrary::shared().release();
}
