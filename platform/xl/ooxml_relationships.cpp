// The relationship parts (.rels) of a package: which part a workbook,
// sheet or styles reference leads to, as a resolved part name.
#include <algorithm>

#include "platform/xl/ooxml_internal.h"

namespace xl::ooxml {

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
  LoadError failure;
  if (pkg.parse(relsPart, handler, failure)) return true;
  // A damaged relationships part (it does not inflate, or is not XML) leaves
  // the parts it would have named unfound, as LibreOffice shows such a
  // workbook, instead of losing the whole workbook; the relationships read
  // before the damage still count.
  if (failure.cause == LoadCause::PartNotXml || failure.cause == LoadCause::PartBadEncoding ||
      failure.cause == LoadCause::PartInflateFailed) {
    pkg.notes().add(loadErrorText(failure) + "（只用了损坏处之前的关系）");
    return true;
  }
  error = std::move(failure);
  return false;
}

}  // namespace xl::ooxml
