// mkbin: writes Windows CE binary images (.bin) for tests and demos.
//   mkbin DESCRIPTION.json OUT.bin
//   mkbin --sample SIZE OUT.bin [--seed N]      a plausible OS image of SIZE bytes (K/M suffixes)
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "image.h"

namespace {

uint32_t parseSize(const std::string &text) {
    size_t used = 0;
    unsigned long long v = std::stoull(text, &used, 0);
    const std::string unit = text.substr(used);
    if (unit == "K" || unit == "k") v <<= 10;
    else if (unit == "M" || unit == "m") v <<= 20;
    else if (!unit.empty()) throw std::runtime_error("bad size '" + text + "'");
    if (v > 0x2000000) throw std::runtime_error("size above 32 MB");
    return static_cast<uint32_t>(v);
}

int usage() {
    std::fputs("usage: mkbin DESCRIPTION.json OUT.bin\n       mkbin --sample SIZE OUT.bin [--seed N]\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    try {
        nlohmann::json description;
        std::string out;
        if (argc >= 4 && std::string(argv[1]) == "--sample") {
            uint32_t seed = 1;
            if (argc == 6 && std::string(argv[4]) == "--seed") seed = static_cast<uint32_t>(std::stoul(argv[5]));
            else if (argc != 4) return usage();
            description = binimage::sampleDescription(parseSize(argv[2]), seed);
            out = argv[3];
        } else if (argc == 3) {
            std::ifstream in(argv[1]);
            if (!in) throw std::runtime_error(std::string("cannot read ") + argv[1]);
            description = nlohmann::json::parse(in);
            out = argv[2];
        } else {
            return usage();
        }
        const std::string bytes = binimage::build(description);
        std::ofstream file(out, std::ios::binary | std::ios::trunc);
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!file) throw std::runtime_error("cannot write " + out);
        std::printf("wrote %s (%zu bytes)\n", out.c_str(), bytes.size());
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "mkbin: %s\n", e.what());
        return 1;
    }
}
