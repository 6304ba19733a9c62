// Feeds every file of the folders (or the files) named on the command line to
// a fuzz target, one call per file, the way libFuzzer replays a corpus, but
// with any compiler and no libFuzzer. A fault shows as a crash, a sanitizer
// report or a timeout of the test that runs this.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool isFile(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The regular files of a folder (dot files left out), in name order so that
// every run replays them alike; a file argument stands for itself.
std::vector<std::string> inputs(const std::string &arg)
{
    if (isFile(arg))
        return {arg};
    std::vector<std::string> files;
    if (DIR *dir = ::opendir(arg.c_str())) {
        while (const dirent *entry = ::readdir(dir)) {
            const std::string path = arg + "/" + entry->d_name;
            if (entry->d_name[0] != '.' && isFile(path))
                files.push_back(path);
        }
        ::closedir(dir);
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool readAll(const std::string &path, std::vector<uint8_t> &bytes)
{
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    bytes.clear();
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FOLDER|FILE...\n", argv[0]);
        return 2;
    }
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        for (const std::string &path : inputs(argv[i])) {
            std::vector<uint8_t> bytes;
            if (!readAll(path, bytes)) {
                std::fprintf(stderr, "cannot read %s\n", path.c_str());
                return 1;
            }
            std::fprintf(stderr, "replaying %s (%zu bytes)\n", path.c_str(), bytes.size());
            // Exactly as large as the input, so that a read past its end is caught.
            std::vector<uint8_t> input(bytes);
            LLVMFuzzerTestOneInput(input.data(), input.size());
            ++replayed;
        }
    }
    std::printf("replayed %d inputs\n", replayed);
    return replayed > 0 ? 0 : 1;
}
