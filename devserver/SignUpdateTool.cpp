// vhbr-sign-update: makes the key pair of an update channel and signs packages for the feed.
//
//   vhbr-sign-update generate-key PRIVATE_KEY_FILE   writes the private key (mode 0600) and
//                                                    prints the public key for "SUPublicEDKey"
//   vhbr-sign-update sign FILE PRIVATE_KEY_FILE      prints the enclosure's attributes:
//                                                    sparkle:edSignature="…" length="…"
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "UpdateSigning.hpp"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: vhbr-sign-update generate-key PRIVATE_KEY_FILE\n"
                 "       vhbr-sign-update sign FILE PRIVATE_KEY_FILE\n");
    return 2;
}

int generateKey(const std::filesystem::path& keyFile) {
    const auto pair = vhbr::dev::generateUpdateKeyPair();
    const mode_t old = ::umask(077);
    std::ofstream out(keyFile, std::ios::trunc);
    ::umask(old);
    out << pair.privateKey << '\n';
    if (!out.flush()) throw std::runtime_error("cannot write " + keyFile.string());
    std::cout << pair.publicKey << '\n';
    return 0;
}

int sign(const std::filesystem::path& file, const std::filesystem::path& keyFile) {
    std::ifstream in(keyFile);
    std::string key;
    if (!(in >> key)) throw std::runtime_error("cannot read the private key from " + keyFile.string());
    std::cout << "sparkle:edSignature=\"" << vhbr::dev::signUpdateFile(file, key) << "\" length=\""
              << std::filesystem::file_size(file) << "\"\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::string command = argc > 1 ? argv[1] : "";
        if (command == "generate-key" && argc == 3) return generateKey(argv[2]);
        if (command == "sign" && argc == 4) return sign(argv[2], argv[3]);
        return usage();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vhbr-sign-update: %s\n", e.what());
        return 1;
    }
}
