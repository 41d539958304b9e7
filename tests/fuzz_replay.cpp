// Runs the fuzz target of fuzz_counts.cpp on each file named, and on each
// file in each directory named, in name order: the saved inputs become an
// ordinary test, for any compiler, under the sanitizers and under qemu.
//
//   fuzz_replay PATH...

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

int main(int argc, char *argv[])
{
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; i++) {
        if (fs::is_directory(argv[i]))
            for (const auto &entry : fs::directory_iterator(argv[i]))
                files.push_back(entry.path());
        else
            files.emplace_back(argv[i]);
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        (void)std::fprintf(stderr, "fuzz_replay: no inputs\n");
        return 1;
    }
    for (const fs::path &file : files) {
        std::ifstream f(file, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(f), {}};
        if (!f.is_open() || f.bad()) {
            (void)std::fprintf(stderr, "fuzz_replay: cannot read %s\n", file.c_str());
            return 1;
        }
        // Named first, so that a failure shows which input it was.
        (void)std::printf("%s\n", file.c_str());
        (void)std::fflush(stdout);
        (void)LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(bytes.data()),
                                     bytes.size());
    }
    (void)std::printf("%zu inputs, every way counted each exactly\n", files.size());
    return 0;
}
