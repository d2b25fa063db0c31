// Runs a fuzz target without libFuzzer: every file of the seed folder, then seeded random
// mutations of them, so the ordinary test run exercises the parsers on hostile input too.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    std::vector<std::vector<uint8_t>> seeds;
    if (argc > 1 && std::filesystem::is_directory(argv[1])) {
        for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
            std::ifstream in(entry.path(), std::ios::binary);
            seeds.emplace_back(std::istreambuf_iterator<char>(in),
                               std::istreambuf_iterator<char>());
        }
    }
    if (seeds.empty())
        seeds.emplace_back();
    for (const auto& s : seeds)
        LLVMFuzzerTestOneInput(s.data(), s.size());

    std::mt19937 rng(12345);
    std::vector<uint8_t> buf;
    const int rounds = 20000;
    for (int i = 0; i < rounds; ++i) {
        buf = seeds[rng() % seeds.size()];
        const int edits = 1 + static_cast<int>(rng() % 8);
        for (int e = 0; e < edits; ++e) {
            switch (rng() % 4) {
            case 0: // flip a byte
                if (!buf.empty())
                    buf[rng() % buf.size()] = static_cast<uint8_t>(rng());
                break;
            case 1: // insert a byte
                buf.insert(buf.begin() + (buf.empty() ? 0 : rng() % (buf.size() + 1)),
                           static_cast<uint8_t>(rng()));
                break;
            case 2: // truncate
                if (!buf.empty())
                    buf.resize(rng() % buf.size());
                break;
            default: // duplicate a slice
                if (buf.size() > 2) {
                    size_t from = rng() % buf.size();
                    size_t len = 1 + rng() % (buf.size() - from);
                    std::vector<uint8_t> slice(buf.begin() + from, buf.begin() + from + len);
                    buf.insert(buf.begin() + rng() % buf.size(), slice.begin(), slice.end());
                }
                break;
            }
        }
        LLVMFuzzerTestOneInput(buf.data(), buf.size());
    }
    std::printf("%zu seeds and %d mutations ran clean\n", seeds.size(), rounds);
    return 0;
}
