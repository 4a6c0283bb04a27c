// The floor of a folder search: open every .xlsx under a folder, inflate
// every zip member and throw the bytes away. Nothing a search does can cost
// less, so the search's time is judged against this one.
//
//   bench_inflate_floor [-j THREADS] FOLDER
//
// Prints the number of workbooks, members and inflated bytes. With -j, the
// files are shared out among that many threads (default 1).

#include <zip.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

bool isXlsx(const fs::path& p) {
    std::string ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return ext == ".xlsx";
}

struct Totals {
    uint64_t members = 0;
    uint64_t bytes = 0;
    uint64_t failures = 0;
};

void inflateBook(const std::string& path, std::vector<char>& buf, Totals& t) {
    int err = 0;
    zip_t* z = zip_open(path.c_str(), ZIP_RDONLY, &err);
    if (!z) {
        ++t.failures;
        return;
    }
    zip_int64_t n = zip_get_num_entries(z, 0);
    for (zip_int64_t i = 0; i < n; ++i) {
        zip_file_t* f = zip_fopen_index(z, zip_uint64_t(i), 0);
        if (!f) {
            ++t.failures;
            continue;
        }
        zip_int64_t got;
        while ((got = zip_fread(f, buf.data(), buf.size())) > 0) t.bytes += uint64_t(got);
        if (got < 0) ++t.failures;
        zip_fclose(f);
        ++t.members;
    }
    zip_discard(z);
}

}  // namespace

int main(int argc, char** argv) {
    unsigned threads = 1;
    const char* folder = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-j") == 0 && i + 1 < argc) threads = unsigned(std::max(1, std::atoi(argv[++i])));
        else if (!folder) folder = argv[i];
        else folder = nullptr, i = argc;
    }
    if (!folder) {
        std::fprintf(stderr, "usage: bench_inflate_floor [-j THREADS] FOLDER\n");
        return 2;
    }
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        std::fprintf(stderr, "bench_inflate_floor: not a folder: %s\n", folder);
        return 2;
    }

    std::vector<std::string> files;
    for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->is_regular_file(ec) && isXlsx(it->path())) files.push_back(it->path().string());
    }
    std::sort(files.begin(), files.end());

    std::atomic<size_t> next{0};
    std::vector<Totals> totals(threads);
    auto work = [&](unsigned k) {
        std::vector<char> buf(1 << 18);
        for (size_t i; (i = next.fetch_add(1)) < files.size();) inflateBook(files[i], buf, totals[k]);
    };
    std::vector<std::thread> pool;
    for (unsigned k = 1; k < threads; ++k) pool.emplace_back(work, k);
    work(0);
    for (auto& t : pool) t.join();

    Totals sum;
    for (const auto& t : totals) {
        sum.members += t.members;
        sum.bytes += t.bytes;
        sum.failures += t.failures;
    }
    std::printf("workbooks %zu members %llu inflated_bytes %llu failures %llu\n", files.size(),
                (unsigned long long)sum.members, (unsigned long long)sum.bytes, (unsigned long long)sum.failures);
    return sum.failures ? 1 : 0;
}
