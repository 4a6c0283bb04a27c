// The floor of a folder search: open every .xlsx under a folder, inflate
// every zip member and throw the bytes away. Nothing a search does can cost
// less, so the search's time is judged against this one.
//
//   bench_inflate_floor [-j THREADS] [--libdeflate] FOLDER
//
// Prints the number of workbooks, members and inflated bytes. With -j, the
// files are shared out among that many threads (default 1). By default each
// member streams through libzip (zlib); with --libdeflate each deflated
// member is inflated whole in one libdeflate call, the fastest inflater we
// link, so this is the lower floor.

#include <libdeflate.h>
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

// One member inflated whole by libdeflate into a buffer of its declared
// size; members that are not plainly deflated stream through libzip.
bool inflateWhole(zip_t* z, zip_uint64_t i, libdeflate_decompressor* d, std::vector<char>& in,
                  std::vector<char>& out, Totals& t) {
    zip_stat_t st;
    if (zip_stat_index(z, i, 0, &st) != 0 || !(st.valid & ZIP_STAT_COMP_METHOD) ||
        st.comp_method != ZIP_CM_DEFLATE || !(st.valid & ZIP_STAT_SIZE) || !(st.valid & ZIP_STAT_COMP_SIZE))
        return false;
    zip_file_t* f = zip_fopen_index(z, i, ZIP_FL_COMPRESSED);
    if (!f) return false;
    if (in.size() < st.comp_size) in.resize(st.comp_size);
    if (out.size() < st.size) out.resize(st.size);
    const zip_int64_t got = zip_fread(f, in.data(), st.comp_size);
    zip_fclose(f);
    size_t actual = 0;
    if (got != zip_int64_t(st.comp_size) ||
        libdeflate_deflate_decompress(d, in.data(), st.comp_size, out.data(), st.size, &actual) !=
            LIBDEFLATE_SUCCESS) {
        ++t.failures;
        return true;
    }
    t.bytes += actual;
    ++t.members;
    return true;
}

void inflateBook(const std::string& path, std::vector<char>& buf, libdeflate_decompressor* d, Totals& t) {
    static thread_local std::vector<char> in, out;
    int err = 0;
    zip_t* z = zip_open(path.c_str(), ZIP_RDONLY, &err);
    if (!z) {
        ++t.failures;
        return;
    }
    zip_int64_t n = zip_get_num_entries(z, 0);
    for (zip_int64_t i = 0; i < n; ++i) {
        if (d && inflateWhole(z, zip_uint64_t(i), d, in, out, t)) continue;
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
    bool whole = false;
    const char* folder = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-j") == 0 && i + 1 < argc) threads = unsigned(std::max(1, std::atoi(argv[++i])));
        else if (std::strcmp(argv[i], "--libdeflate") == 0) whole = true;
        else if (!folder) folder = argv[i];
        else folder = nullptr, i = argc;
    }
    if (!folder) {
        std::fprintf(stderr, "usage: bench_inflate_floor [-j THREADS] [--libdeflate] FOLDER\n");
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
        libdeflate_decompressor* d = whole ? libdeflate_alloc_decompressor() : nullptr;
        for (size_t i; (i = next.fetch_add(1)) < files.size();) inflateBook(files[i], buf, d, totals[k]);
        if (d) libdeflate_free_decompressor(d);
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
