// The zip container of a workbook and the streaming XML driver: each part is
// inflated chunk by chunk straight into expat's buffer, never held whole.
#include <expat.h>
#include <fcntl.h>
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "platform/xl/ooxml_internal.h"
#include "platform/xl/ooxml_xml.h"

namespace xl::ooxml {

void SaxHandler::fail(LoadError error) {
  if (failure_.empty()) failure_ = std::move(error);
  if (parser_) XML_StopParser(parser_, XML_FALSE);
}

namespace {

// Parts up to this size are inflated in one call by libdeflate, about twice
// as fast as zlib's streaming; larger ones stream, so memory stays bounded.
constexpr uint64_t kWholeInflateBytes = 32u << 20;

struct DecompressorFree {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// One per loader thread, reused for every part it reads.
libdeflate_decompressor* threadDecompressor() {
  thread_local std::unique_ptr<libdeflate_decompressor, DecompressorFree> d(libdeflate_alloc_decompressor());
  return d.get();
}

// The whole inflated part when it is a plain deflated entry of a size the
// limits allow and its bytes check out against the size and CRC the zip
// declares; otherwise false, and the part is streamed as before (which also
// reports any damage).
bool inflateWhole(zip_t* zip, zip_uint64_t index, const zip_stat_t& st, const OoxmlLimits& limits,
                  std::unique_ptr<char[]>& out) {
  constexpr zip_uint64_t kNeed = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_CRC |
                                 ZIP_STAT_ENCRYPTION_METHOD;
  if ((st.valid & kNeed) != kNeed || st.comp_method != ZIP_CM_DEFLATE || st.encryption_method != ZIP_EM_NONE)
    return false;
  // The tokenizer works in a whole part without refilling, where it would
  // check the token limit: a part within that limit cannot break it.
  if (st.size == 0 || st.size > kWholeInflateBytes || st.size > limits.maxPartBytes ||
      st.size > limits.maxTokenBytes)
    return false;
  if (st.comp_size == 0 || st.comp_size > st.size + 1024 ||
      (st.size > limits.ratioCheckBytes && st.size / st.comp_size > limits.maxRatio))
    return false;
  libdeflate_decompressor* d = threadDecompressor();
  if (!d) return false;
  zip_file_t* raw = zip_fopen_index(zip, index, ZIP_FL_COMPRESSED);
  if (!raw) return false;
  const size_t inSize = static_cast<size_t>(st.comp_size), outSize = static_cast<size_t>(st.size);
  std::unique_ptr<char[]> in(new char[inSize]);
  const zip_int64_t got = zip_fread(raw, in.get(), st.comp_size);
  zip_fclose(raw);
  if (got != static_cast<zip_int64_t>(st.comp_size)) return false;
  out.reset(new char[outSize + 1]);  // one spare byte for the tokenizer's NUL
  size_t actual = 0;
  if (libdeflate_deflate_decompress(d, in.get(), inSize, out.get(), outSize, &actual) != LIBDEFLATE_SUCCESS ||
      actual != outSize || libdeflate_crc32(0, out.get(), outSize) != st.crc) {
    out.reset();
    return false;
  }
  return true;
}

// A plain deflated entry whose size and CRC the zip declares: ISA-L can
// inflate it and check it.
bool canInflateRaw(const zip_stat_t& st) {
  constexpr zip_uint64_t kNeed = ZIP_STAT_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_CRC | ZIP_STAT_ENCRYPTION_METHOD;
  return (st.valid & kNeed) == kNeed && st.comp_method == ZIP_CM_DEFLATE && st.encryption_method == ZIP_EM_NONE;
}

std::string folded(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string percentDecoded(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      int hi = hexDigit(s[i + 1]), lo = hexDigit(s[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(s[i]);
  }
  return out;
}

// The expat side: local names, the depth bound and the DTD refusal.
struct Driver {
  SaxHandler* handler;
  int depth = 0;
  int maxDepth;
  const std::string* part;
};

void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char** atts) {
  auto* d = static_cast<Driver*>(data);
  if (++d->depth > d->maxDepth) {
    d->handler->fail({LoadCause::PartTooDeep, *d->part});
    return;
  }
  d->handler->start(localName(name), atts);
}

void XMLCALL onEnd(void* data, const XML_Char* name) {
  auto* d = static_cast<Driver*>(data);
  --d->depth;
  d->handler->end(localName(name));
}

void XMLCALL onText(void* data, const XML_Char* s, int len) {
  static_cast<Driver*>(data)->handler->text(s, len);
}

// Workbooks never carry a DTD; one can only be there to expand entities.
void XMLCALL onDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  auto* d = static_cast<Driver*>(data);
  d->handler->fail({LoadCause::PartDoctype, *d->part});
}

void XMLCALL onEntityDecl(void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                          const XML_Char*, const XML_Char*, const XML_Char*) {
  auto* d = static_cast<Driver*>(data);
  d->handler->fail({LoadCause::PartEntity, *d->part});
}

struct ParserGuard {
  XML_Parser p;
  ~ParserGuard() { XML_ParserFree(p); }
};

LoadError openError(int code, const std::string& part) {
  switch (code) {
    case ZIP_ER_NOPASSWD:
    case ZIP_ER_WRONGPASSWD:
    case ZIP_ER_ENCRNOTSUPP:
      return LoadCause::EncryptedNeedsPassword;
    case ZIP_ER_COMPNOTSUPP:
      return LoadError{LoadCause::PartBadCompression, part};
    case ZIP_ER_MEMORY:
      return LoadError{LoadCause::PartNoMemory, part};
    default:
      return LoadError{LoadCause::PartInflateFailed, part};
  }
}

}  // namespace

Package::~Package() {
  if (zip_) zip_discard(zip_);
}

bool Package::open(int fd, LoadError& error) {
  int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) {
    error = LoadCause::ZipReadFailed;
    return false;
  }
  int code = 0;
  zip_ = zip_fdopen(copy, ZIP_RDONLY, &code);
  if (!zip_) {
    close(copy);  // zip_fdopen owns the fd only when it succeeds
    switch (code) {
      case ZIP_ER_READ:
      case ZIP_ER_SEEK:
      case ZIP_ER_OPEN:
        error = LoadCause::ZipReadFailed;
        break;
      case ZIP_ER_MEMORY:
        error = LoadCause::ZipNoMemory;
        break;
      default:
        error = LoadCause::DamagedZip;
    }
    return false;
  }
  zip_int64_t n = zip_get_num_entries(zip_, 0);
  folded_.reserve(static_cast<size_t>(std::min<zip_int64_t>(n, 1 << 16)));
  for (zip_int64_t i = 0; i < n; ++i) {
    const char* name = zip_get_name(zip_, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_GUESS);
    if (!name) continue;
    std::string key = folded(name);
    std::replace(key.begin(), key.end(), '\\', '/');  // some writers store Windows paths
    folded_.emplace(std::move(key), i);  // first entry of a name wins
  }
  return true;
}

int64_t Package::locate(const std::string& part) const {
  if (part.empty()) return -1;
  zip_int64_t i = zip_name_locate(zip_, part.c_str(), ZIP_FL_ENC_GUESS);
  if (i >= 0) return i;
  auto it = folded_.find(folded(part));
  if (it != folded_.end()) return it->second;
  if (part.find('%') != std::string::npos) {
    it = folded_.find(folded(percentDecoded(part)));
    if (it != folded_.end()) return it->second;
  }
  return -1;
}

// The inflating thread and the parser hand chunks over through a short
// queue; a chunk goes back to the spares once the parser has copied it out.
struct PartSource::Ahead {
  static constexpr size_t kChunk = 1u << 20;
  static constexpr size_t kQueued = 4;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::vector<char>> full;
  std::vector<std::vector<char>> spare;
  std::vector<char> current;
  size_t pos = 0;
  bool done = false, cancel = false, failed = false, outOfMemory = false;
  LoadError error;
  std::thread thread;
};

// The raw deflated bytes of an entry and ISA-L's inflating state.
struct PartSource::RawInflate {
  static constexpr size_t kIn = 256u << 10;
  zip_file_t* raw = nullptr;
  std::unique_ptr<inflate_state> state = std::make_unique<inflate_state>();
  std::unique_ptr<uint8_t[]> in = std::make_unique_for_overwrite<uint8_t[]>(kIn);
  uint64_t size = 0, out = 0;
  uint32_t crc = 0;
  bool inEnd = false, done = false;
  ~RawInflate() {
    if (raw) zip_fclose(raw);
  }
};

void PartSource::inflateRaw(zip_file_t* raw, uint64_t size, uint32_t crc) {
  raw_ = std::make_unique<RawInflate>();
  raw_->raw = raw;
  raw_->size = size;
  raw_->crc = crc;
  isal_inflate_init(raw_->state.get());
  raw_->state->crc_flag = ISAL_GZIP_NO_HDR;  // the zip's CRC-32 is gzip's
}

int64_t PartSource::readRaw(char* buf, size_t n, LoadError& error) {
  RawInflate& r = *raw_;
  if (r.done || n == 0) return 0;
  inflate_state& s = *r.state;
  s.next_out = reinterpret_cast<uint8_t*>(buf);
  s.avail_out = static_cast<uint32_t>(std::min<size_t>(n, 1u << 30));
  const uint32_t want = s.avail_out;
  while (s.avail_out > 0) {
    if (s.avail_in == 0 && !r.inEnd) {
      const zip_int64_t got = zip_fread(r.raw, r.in.get(), RawInflate::kIn);
      if (got < 0) {
        error = openError(zip_error_code_zip(zip_file_get_error(r.raw)), part_);
        return -1;
      }
      r.inEnd = got == 0;
      s.next_in = r.in.get();
      s.avail_in = static_cast<uint32_t>(got);
    }
    const uint32_t before = s.avail_out, inBefore = s.avail_in;
    if (isal_inflate(&s) != ISAL_DECOMP_OK) {
      error = openError(ZIP_ER_ZLIB, part_);
      return -1;
    }
    r.out += before - s.avail_out;
    if (s.block_state == ISAL_BLOCK_FINISH) {
      if (r.out != r.size || s.crc != r.crc) {
        error = openError(ZIP_ER_CRC, part_);
        return -1;
      }
      r.done = true;
      break;
    }
    // Input used up and nothing more came out: the entry is cut short.
    if (r.inEnd && s.avail_in == 0 && before == s.avail_out && inBefore == 0) {
      error = openError(ZIP_ER_EOF, part_);
      return -1;
    }
  }
  return static_cast<int64_t>(want - s.avail_out);
}

PartSource::PartSource(zip_file_t* file, const std::string& part, const OoxmlLimits& limits, uint64_t compressedBytes)
    : file_(file), part_(part), limits_(limits), compressed_(compressedBytes ? compressedBytes : 1) {}

PartSource::~PartSource() {
  if (ahead_) {
    {
      std::lock_guard lock(ahead_->mutex);
      ahead_->cancel = true;
    }
    ahead_->changed.notify_all();
    if (ahead_->thread.joinable()) ahead_->thread.join();
  }
  if (file_) zip_fclose(file_);
}

int64_t PartSource::readEntry(char* buf, size_t n, LoadError& error) {
  if (raw_) return readRaw(buf, n, error);
  zip_int64_t got = zip_fread(file_, buf, static_cast<zip_uint64_t>(n));
  if (got < 0) {
    error = openError(zip_error_code_zip(zip_file_get_error(file_)), part_);
    return -1;
  }
  return got;
}

void PartSource::inflateAhead() {
  if (ahead_ || inMemory_) return;
  ahead_ = std::make_unique<Ahead>();
  Ahead* a = ahead_.get();
  try {
    a->thread = std::thread([this, a] {
      try {
        inflateLoop(*a);
      } catch (const std::bad_alloc&) {
        // Out of memory here ends the part like damage would, on the
        // parser's side, instead of ending the process.
        std::lock_guard lock(a->mutex);
        a->done = a->failed = a->outOfMemory = true;
        a->changed.notify_all();
      }
    });
  } catch (const std::system_error&) {
    ahead_.reset();  // no thread to be had: the parser inflates as it reads
  }
}

void PartSource::inflateLoop(Ahead& a) {
  for (;;) {
    std::vector<char> chunk;
    {
      std::unique_lock lock(a.mutex);
      a.changed.wait(lock, [&] { return a.cancel || a.full.size() < Ahead::kQueued; });
      if (a.cancel) return;
      if (!a.spare.empty()) {
        chunk = std::move(a.spare.back());
        a.spare.pop_back();
      }
    }
    chunk.resize(Ahead::kChunk);
    LoadError error;
    const int64_t got = readEntry(chunk.data(), chunk.size(), error);
    std::lock_guard lock(a.mutex);
    if (got <= 0) {
      a.done = true;
      a.failed = got < 0;
      a.error = std::move(error);
      a.changed.notify_all();
      return;
    }
    chunk.resize(static_cast<size_t>(got));
    a.full.push_back(std::move(chunk));
    a.changed.notify_all();
  }
}

int64_t PartSource::read(char* buf, size_t n, LoadError& error) {
  // Reads come a chunk (a few hundred kilobytes) at a time: the cheapest
  // place to notice a cancel, whatever the parser does with the bytes.
  if (cancel_ && cancel_->cancelled()) {
    error = LoadCause::Cancelled;
    return -1;
  }
  if (inMemory_) {
    const size_t got = std::min(n, wholeSize_ - wholePos_);
    std::memcpy(buf, whole_.get() + wholePos_, got);
    wholePos_ += got;
    return static_cast<int64_t>(got);
  }
  int64_t got = 0;
  if (ahead_) {
    Ahead* a = ahead_.get();
    while (static_cast<size_t>(got) < n) {
      if (a->pos == a->current.size()) {
        std::unique_lock lock(a->mutex);
        if (!a->current.empty()) {
          a->spare.push_back(std::move(a->current));
          a->current.clear();
          a->changed.notify_all();
        }
        a->pos = 0;
        // Hand over what is here rather than wait for a whole buffer.
        if (a->full.empty() && got > 0) break;
        a->changed.wait(lock, [&] { return !a->full.empty() || a->done; });
        if (a->full.empty()) {
          if (a->failed) {
            error = a->outOfMemory ? LoadError{LoadCause::TooLargeNoMemory} : a->error;
            return -1;
          }
          break;
        }
        a->current = std::move(a->full.front());
        a->full.pop_front();
        a->changed.notify_all();
      }
      const size_t take = std::min(n - static_cast<size_t>(got), a->current.size() - a->pos);
      std::memcpy(buf + got, a->current.data() + a->pos, take);
      a->pos += take;
      got += static_cast<int64_t>(take);
    }
  } else {
    got = readEntry(buf, n, error);
    if (got < 0) return -1;
  }
  total_ += static_cast<uint64_t>(got);
  if (total_ > limits_.maxPartBytes ||
      (total_ > limits_.ratioCheckBytes && total_ / compressed_ > limits_.maxRatio)) {
    error = LoadError{LoadCause::TooLargePart, part_};
    return -1;
  }
  return got;
}

std::unique_ptr<PartSource> Package::openPart(const std::string& part, uint64_t& declared, LoadError& error) {
  declared = 0;
  int64_t index = locate(part);
  if (index < 0) {
    error = LoadError{LoadCause::PartMissing, part};
    return nullptr;
  }
  zip_file_t* file = zip_fopen_index(zip_, static_cast<zip_uint64_t>(index), 0);
  if (!file) {
    error = openError(zip_error_code_zip(zip_get_error(zip_)), part);
    return nullptr;
  }
  zip_stat_t st;
  zip_stat_init(&st);
  uint64_t compressed = 0;
  if (zip_stat_index(zip_, static_cast<zip_uint64_t>(index), 0, &st) == 0 && (st.valid & ZIP_STAT_COMP_SIZE))
    compressed = st.comp_size;
  auto src = std::make_unique<PartSource>(file, part, limits_, compressed);
  src->cancelWith(cancel_);
  if (st.valid & ZIP_STAT_SIZE) declared = st.size;
  std::unique_ptr<char[]> whole;
  if (inflateWhole(zip_, static_cast<zip_uint64_t>(index), st, limits_, whole)) {
    src->useWhole(std::move(whole), static_cast<size_t>(st.size));
  } else {
    if (canInflateRaw(st))
      if (zip_file_t* raw = zip_fopen_index(zip_, static_cast<zip_uint64_t>(index), ZIP_FL_COMPRESSED))
        src->inflateRaw(raw, st.size, st.crc);
    if (!(st.valid & ZIP_STAT_SIZE) || st.size > kWholeInflateBytes) src->inflateAhead();
  }
  // A whole inflate cannot be cut short; what it took is not parsed when a
  // cancel came meanwhile.
  if (cancel_ && cancel_->cancelled()) {
    error = LoadCause::Cancelled;
    return nullptr;
  }
  return src;
}

bool Package::parse(const std::string& part, SaxHandler& handler, LoadError& error) {
  uint64_t declared = 0;
  std::unique_ptr<PartSource> src = openPart(part, declared, error);
  if (!src) return false;
  if (declared) handler.partSize(declared);
  return parseFrom(*src, part, handler, error);
}

bool Package::read(const std::string& part, const std::function<bool(PartSource&, uint64_t)>& use,
                   LoadError& error) {
  uint64_t declared = 0;
  std::unique_ptr<PartSource> src = openPart(part, declared, error);
  if (!src) return false;
  return use(*src, declared);
}

bool Package::parseXml(const std::string& part, PartSource& src, uint64_t declared, SaxHandler& handler,
                       LoadError& error) {
  if (declared) handler.partSize(declared);
  return parseFrom(src, part, handler, error);
}

bool Package::parseFrom(XmlInput& src, const std::string& part, SaxHandler& handler, LoadError& error) {
  std::string head;  // what the fast path read before handing over
  if (limits_.fastXml) {
    FastXml fast(handler, part, limits_);
    FastXml::Result r = fast.run(src, error);
    if (r != FastXml::Result::NeedExpat) return r == FastXml::Result::Ok;
    head.assign(fast.buffered());
  }

  // No namespace processing: names are matched by local name, and expat
  // is markedly faster without binding prefixes.
  // No encoding given: the document's own declaration (UTF-16 too) decides.
  ParserGuard guard{XML_ParserCreate(nullptr)};
  if (!guard.p) {
    error = LoadError{LoadCause::PartNoMemory, part};
    return false;
  }
  XML_Parser p = guard.p;
  Driver driver{&handler, 0, limits_.maxDepth, &part};
  XML_SetUserData(p, &driver);
  XML_SetElementHandler(p, onStart, onEnd);
  XML_SetCharacterDataHandler(p, onText);
  XML_SetStartDoctypeDeclHandler(p, onDoctype);
  XML_SetEntityDeclHandler(p, onEntityDecl);
  XML_SetParamEntityParsing(p, XML_PARAM_ENTITY_PARSING_NEVER);
  handler.attach(p);

  const int chunk = static_cast<int>(std::clamp<size_t>(limits_.chunkBytes, 4096, 16u << 20));
  for (;;) {
    zip_int64_t n;
    void* buf;
    if (!head.empty()) {
      n = static_cast<zip_int64_t>(head.size());
      buf = XML_GetBuffer(p, static_cast<int>(n));
      if (buf) std::memcpy(buf, head.data(), head.size());
      head.clear();
      head.shrink_to_fit();
    } else {
      buf = XML_GetBuffer(p, chunk);
      n = buf ? src.read(static_cast<char*>(buf), static_cast<size_t>(chunk), error) : 0;
      if (n < 0) return false;
    }
    if (!buf) {
      error = LoadError{LoadCause::TooLargePart, part};
      return false;
    }
    if (XML_ParseBuffer(p, static_cast<int>(n), n == 0) != XML_STATUS_OK) {
      if (handler.failed()) {
        error = handler.failure();
      } else {
        XML_Error code = XML_GetErrorCode(p);
        if (code == XML_ERROR_UNKNOWN_ENCODING || code == XML_ERROR_INCORRECT_ENCODING)
          error = LoadError{LoadCause::PartBadEncoding, part};
        else if (code == XML_ERROR_NO_MEMORY)
          error = LoadError{LoadCause::PartNoMemory, part};
        else
          error = LoadError{LoadCause::PartNotXml, part};
      }
      return false;
    }
    if (handler.failed()) {  // failures outside a parse call are still failures
      error = handler.failure();
      return false;
    }
    // A single tag or attribute value that never ends would otherwise make
    // expat hold the whole part in memory.
    int offset = 0, size = 0;
    if (XML_GetInputContext(p, &offset, &size) && static_cast<uint64_t>(size) > limits_.maxTokenBytes) {
      error = LoadError{LoadCause::PartTagTooLong, part};
      return false;
    }
    if (n == 0) break;
  }
  return true;
}

// ---- relationships ----------------------------------------------------------

std::string relsPartFor(const std::string& part) {
  size_t slash = part.rfind('/');
  if (slash == std::string::npos) return "_rels/" + part + ".rels";
  return part.substr(0, slash) + "/_rels/" + part.substr(slash + 1) + ".rels";
}

std::string resolveTarget(std::string_view sourcePart, std::string_view target) {
  std::string raw;
  if (!target.empty() && (target[0] == '/' || target[0] == '\\')) {
    raw.assign(target.substr(1));
  } else {
    size_t slash = sourcePart.rfind('/');
    if (slash != std::string_view::npos) raw.assign(sourcePart.substr(0, slash + 1));
    raw.append(target);
  }
  std::replace(raw.begin(), raw.end(), '\\', '/');
  if (size_t hash = raw.find('#'); hash != std::string::npos) raw.resize(hash);

  std::vector<std::string_view> segments;
  std::string_view rest(raw);
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view seg = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (seg.empty() || seg == ".") continue;
    if (seg == "..") {
      if (!segments.empty()) segments.pop_back();
      continue;
    }
    segments.push_back(seg);
  }
  std::string out;
  for (std::string_view seg : segments) {
    if (!out.empty()) out.push_back('/');
    out.append(seg);
  }
  return out;
}

bool typeIs(const std::string& type, const char* suffix) {
  size_t n = std::strlen(suffix);
  return type.size() >= n && type.compare(type.size() - n, n, suffix) == 0;
}

namespace {

class RelsHandler : public SaxHandler {
 public:
  RelsHandler(const std::string& source, std::vector<Relationship>& out) : source_(source), out_(out) {}
  void start(const char* name, const char** atts) override {
    if (!eq(name, "Relationship")) return;
    Relationship rel;
    const char* target = nullptr;
    bool external = false;
    for (int i = 0; atts[i]; i += 2) {
      const char* key = atts[i];
      if (eq(key, "Id")) rel.id = atts[i + 1];
      else if (eq(key, "Type")) rel.type = atts[i + 1];
      else if (eq(key, "Target")) target = atts[i + 1];
      else if (eq(key, "TargetMode")) external = eq(atts[i + 1], "External");
    }
    if (!target || external) return;
    if (out_.size() >= kMaxRelationships) return;
    rel.target = resolveTarget(source_, target);
    out_.push_back(std::move(rel));
  }
  void end(const char*) override {}

 private:
  static constexpr size_t kMaxRelationships = 1'000'000;
  const std::string& source_;
  std::vector<Relationship>& out_;
};

}  // namespace

bool readRelationships(Package& pkg, const std::string& relsPart, std::vector<Relationship>& out,
                       LoadError& error) {
  out.clear();
  if (!pkg.has(relsPart)) return true;
  // Targets are relative to the folder of the part the .rels describes.
  std::string source = relsPart;
  size_t r = source.rfind("_rels/");
  if (r != std::string::npos) {
    std::string base = source.substr(r + 6);
    if (base.size() > 5 && base.compare(base.size() - 5, 5, ".rels") == 0) base.resize(base.size() - 5);
    source = source.substr(0, r) + base;
  }
  RelsHandler handler(source, out);
  return pkg.parse(relsPart, handler, error);
}

}  // namespace xl::ooxml
