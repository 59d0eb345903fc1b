// Runs the fuzz target once over each file named on the command line, so
// that the corpus is checked by every build, not only by libFuzzer's.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::FILE* input = std::fopen(argv[i], "rb");
        if (input == nullptr) {
            std::perror(argv[i]);
            return 1;
        }
        std::vector<std::uint8_t> bytes;
        int byte = 0;
        while ((byte = std::fgetc(input)) != EOF) {
            bytes.push_back(static_cast<std::uint8_t>(byte));
        }
        const bool failed = std::ferror(input) != 0;
        (void)std::fclose(input);
        if (failed) {
            std::perror(argv[i]);
            return 1;
        }
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("%d inputs checked\n", argc - 1);
    return 0;
}
