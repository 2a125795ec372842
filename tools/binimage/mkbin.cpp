// mkbin: writes Windows CE binary images (.bin) for tests and demos.
//   mkbin DESCRIPTION.json OUT.bin
//   mkbin --sample SIZE OUT.bin [--seed N] [--built "YYYY-MM-DD HH:MM:SS"]
//                                               a plausible OS image of SIZE bytes (K/M suffixes)
//                                               with a table of contents built at that time
//   mkbin --help | --version
// The description's format is in docs/mkbin.md. On any error OUT.bin is
// left as it was.
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "image.h"
#include "tool_options.h"

namespace {

const char kUsage[] =
    "usage: mkbin DESCRIPTION.json OUT.bin\n"
    "       mkbin --sample SIZE OUT.bin [--seed N] [--built \"YYYY-MM-DD HH:MM:SS\"]\n"
    "       mkbin --help | --version\n"
    "  DESCRIPTION.json: start, length and records of the image (see docs/mkbin.md)\n"
    "  --sample SIZE: a plausible OS image of about SIZE bytes (suffix K or M, 64K to 32M)\n"
    "  --built TIME: the build time (UTC) its table of contents gives its files (default 2008-01-15 10:00:00)\n";

uint32_t parseSize(const std::string &text) {
    std::string digits = text;
    unsigned shift = 0;
    if (!digits.empty() && (digits.back() == 'K' || digits.back() == 'k')) shift = 10;
    if (!digits.empty() && (digits.back() == 'M' || digits.back() == 'm')) shift = 20;
    if (shift != 0) digits.pop_back();
    const uint64_t v = binimage::parseNumber(digits, "--sample SIZE");
    if (v > (uint64_t{0x2000000} >> shift)) throw std::runtime_error("--sample SIZE is above 32M: '" + text + "'");
    // A smaller one would silently come out at the smallest sample's size.
    if ((v << shift) < 0x10000)
        throw std::runtime_error(
            "--sample SIZE is below 64K, the smallest sample (a jump page, a body and a table): '" + text + "'");
    return static_cast<uint32_t>(v << shift);
}

// Writes beside `out` first, so that a failed write leaves `out` as it was.
void writeAtomically(const std::string &out, const std::string &bytes) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::is_directory(out, ec)) throw std::runtime_error(out + " is a folder");
    const std::string temp = out + ".mkbin-tmp";
    {
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        file.close();
        if (!file) {
            const std::string why = std::strerror(errno);
            fs::remove(temp, ec);
            throw std::runtime_error("cannot write " + out + ": " + why);
        }
    }
    fs::rename(temp, out, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        throw std::runtime_error("cannot write " + out + ": " + ec.message());
    }
}

int usage(const char *problem) { return tools::usageError("mkbin", problem); }

}  // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (const auto done = tools::answerCommonOption("mkbin", kUsage, args)) return *done;
    try {
        nlohmann::json description;
        std::string out;
        if (!args.empty() && args[0] == "--sample") {
            if (args.size() < 3)
                return usage("--sample needs SIZE and OUT.bin, and optionally --seed N and --built TIME");
            uint32_t seed = 1;
            std::string built = binimage::kDefaultBuilt;
            for (size_t i = 3; i < args.size(); i += 2) {
                if ((args[i] != "--seed" && args[i] != "--built") || i + 1 >= args.size())
                    return usage("--sample needs SIZE and OUT.bin, and optionally --seed N and --built TIME");
                if (args[i] == "--built") {
                    binimage::builtTime(args[i + 1]);  // a bad time is refused before anything is written
                    built = args[i + 1];
                    continue;
                }
                const uint64_t v = binimage::parseNumber(args[i + 1], "--seed");
                if (v > 0xFFFFFFFFu) throw std::runtime_error("--seed does not fit 32 bits: '" + args[i + 1] + "'");
                seed = static_cast<uint32_t>(v);
            }
            description = binimage::sampleDescription(parseSize(args[1]), seed, built);
            out = args[2];
        } else if (args.size() == 2 && !args[0].empty() && args[0][0] != '-') {
            std::error_code ec;
            if (std::filesystem::is_directory(args[0], ec)) throw std::runtime_error(args[0] + " is a folder");
            std::ifstream in(args[0]);
            if (!in) throw std::runtime_error("cannot read " + args[0]);
            description = nlohmann::json::parse(in, nullptr, false);
            if (description.is_discarded()) throw std::runtime_error(args[0] + " is not valid JSON");
            out = args[1];
        } else {
            return usage("expected DESCRIPTION.json OUT.bin or --sample SIZE OUT.bin");
        }
        const std::string bytes = binimage::build(description);
        writeAtomically(out, bytes);
        std::printf("wrote %s (%zu bytes)\n", out.c_str(), bytes.size());
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "mkbin: %s\n", e.what());
        return 1;
    }
}
