#include "Inspect.h"

#include "Digest.h"
#include "LzmaDecoder.h"
#include "MemoryStreams.h"
#include "Pack.h"
#include "Pe.h"
#include "Resources.h"

#include <algorithm>

namespace sparlin::pack {
namespace {

constexpr uint16_t kRtVersion = 16;
// The headers of the unpacked file: where the packer looks for them too.
constexpr size_t kHead = size_t(1) << 16;

const struct {
    const char *entry, *type, *name;
} kPayloads[] = {{"GUI32", "BIN32", "GUI"}, {"HTMLAYOUT32", "BIN32", "HTMLAYOUT"},
                 {"GUI64", "BIN64", "GUI"}, {"HTMLAYOUT64", "BIN64", "HTMLAYOUT"}};

const Resource* Find(const std::vector<Resource>& all, const ResourceId& type, const ResourceId& name) {
    for (const Resource& r : all)
        if (r.type == type && r.name == name)
            return &r;
    return nullptr;
}

const Resource* FindType(const std::vector<Resource>& all, const ResourceId& type) {
    for (const Resource& r : all)
        if (r.type == type)
            return &r;
    return nullptr;
}

std::string MachineName(uint16_t machine) {
    if (machine == kMachineI386)
        return "x86";
    if (machine == kMachineAmd64)
        return "x64";
    const uint8_t bytes[2] = {uint8_t(machine >> 8), uint8_t(machine)};
    return "machine 0x" + Hex(bytes, 2);
}

void DescribePe(const uint8_t* data, size_t size, CarriedFile& file) {
    try {
        const PeImage image = ParsePe(data, size, true);
        file.machine = MachineName(image.machine);
        file.kind = image.characteristics & kFileDll ? "DLL" : "program";
    } catch (const Error& e) {
        file.problem = e.what();
    }
}

// Printable ASCII; anything else as \xNN, since the text may be anyone's.
std::string ShownBytes(const Bytes& b) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < b.size() && i < 100; ++i) {
        const uint8_t c = b[i];
        if (c >= 0x20 && c < 0x7F && c != '\\')
            s += char(c);
        else
            s += std::string("\\x") + kDigits[c >> 4] + kDigits[c & 15];
    }
    if (b.size() > 100)
        s += "...";
    return s;
}

void AppendUtf8(std::string& s, uint32_t c) {
    if (c < 0x80) {
        s += char(c);
    } else if (c < 0x800) {
        s += char(0xC0 | c >> 6), s += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        s += char(0xE0 | c >> 12), s += char(0x80 | (c >> 6 & 0x3F)), s += char(0x80 | (c & 0x3F));
    } else {
        s += char(0xF0 | c >> 18), s += char(0x80 | (c >> 12 & 0x3F)), s += char(0x80 | (c >> 6 & 0x3F));
        s += char(0x80 | (c & 0x3F));
    }
}

// Control characters as \uXXXX, so that a host name cannot steer a terminal.
std::string Utf8(const std::u16string& text) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        else if (c >= 0xD800 && c < 0xE000)
            c = 0xFFFD;
        if (c < 0x20 || (c >= 0x7F && c < 0xA0) || c == '\\') {
            s += "\\u00";
            s += kDigits[c >> 4];
            s += kDigits[c & 15];
        } else {
            AppendUtf8(s, c);
        }
    }
    return s;
}

std::string FileVersion(const std::vector<Resource>& resources) {
    const Resource* r = FindType(resources, ResourceId::Number(kRtVersion));
    // VS_VERSIONINFO: its key, then the fixed file information at 40.
    static const char16_t kKey[] = u"VS_VERSION_INFO";
    if (!r || r->data.size() < 40 + 16)
        return {};
    for (size_t i = 0; i < 16; ++i)
        if (Get16(r->data, 6 + 2 * i, "the version") != uint16_t(kKey[i]))
            return {};
    if (Get32(r->data, 40, "the version") != 0xFEEF04BD)
        return {};
    const uint32_t ms = Get32(r->data, 48, "the version"), ls = Get32(r->data, 52, "the version");
    return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." + std::to_string(ls >> 16) + "." +
           std::to_string(ls & 0xFFFF);
}

// The launcher's rule: the recorded text, in either case, begins with the digest.
bool Matches(const Bytes& recorded, const std::string& actual) {
    if (recorded.size() < actual.size())
        return false;
    for (size_t i = 0; i < actual.size(); ++i) {
        const char c = char(recorded[i]);
        if ((c >= 'A' && c <= 'F' ? char(c - 'A' + 'a') : c) != actual[i])
            return false;
    }
    return true;
}

struct HeadReached {};

// Keeps the unpacked file's head, and with `hash` its digest; stops at the
// limit, or after the head when the digest is not wanted.
class Unpacked : public lzma::OutStream {
public:
    Unpacked(bool hash, uint64_t limit) : hash_(hash), limit_(limit) {}
    void Write(const uint8_t* buf, size_t size) override {
        if (size > limit_ - total)
            throw lzma::Error("it unpacks to more than " + std::to_string(limit_) + " bytes");
        total += size;
        if (head.size() < kHead)
            head.insert(head.end(), buf, buf + std::min(size, kHead - head.size()));
        if (!hash_) {
            if (head.size() == kHead)
                throw HeadReached{};
            return;
        }
        sha.Update(buf, size);
    }
    Bytes head;
    Sha256Core sha;
    uint64_t total = 0;

private:
    bool hash_;
    uint64_t limit_;
};

void Unpack(const Bytes& stream, const Bytes* digest, CarriedFile& file, bool verify, uint64_t limit,
            std::vector<std::string>& mismatches) {
    auto mismatch = [&](const std::string& why) {
        file.matches = false;
        mismatches.push_back(file.entry + " " + why);
    };
    if (stream.size() < lzma::kHeaderSize) {
        file.problem = "too short for an LZMA stream";
        if (verify)
            mismatch("is too short for an LZMA stream");
        return;
    }
    lzma::Header header;
    try {
        header = lzma::ParseHeader(stream.data());
    } catch (const lzma::Error& e) {
        file.problem = std::string("does not unpack: ") + e.what();
        if (verify)
            mismatch(file.problem);
        return;
    }
    if (header.unpackSize != lzma::kUnknownSize)
        file.unpackedSize = header.unpackSize;
    if (header.unpackSize != lzma::kUnknownSize && header.unpackSize > limit) {
        file.problem = "it says it unpacks to more than " + std::to_string(limit) + " bytes";
        if (verify)
            mismatch("says it unpacks to " + std::to_string(header.unpackSize) + " bytes, more than " +
                     std::to_string(limit));
        return;
    }
    lzma::MemoryInStream in(stream.data(), stream.size());
    Unpacked out(verify, limit);
    lzma::DecodeOptions options;
    if (!verify)
        options.writeStep = kHead;
    try {
        lzma::Decode(in, out, options);
    } catch (const HeadReached&) {
    } catch (const lzma::Error& e) {
        file.problem = std::string("does not unpack: ") + e.what();
        if (verify)
            mismatch(file.problem);
        return;
    }
    DescribePe(out.head.data(), out.head.size(), file);
    if (!verify)
        return;
    if (!file.unpackedSize)
        file.unpackedSize = out.total;
    const std::string actual = FinishHex(out.sha);
    if (!digest) {
        mismatch("has no recorded SHA-256");
    } else if (!Matches(*digest, actual)) {
        mismatch("does not match its recorded SHA-256: unpacked " + actual + ", recorded " + *file.recorded);
    } else {
        file.matches = true;
    }
}

} // namespace

Inspection Inspect(const uint8_t* data, size_t size, bool verify, uint64_t unpackedLimit) {
    const PeImage image = ParsePe(data, size);
    const std::vector<Resource> resources = ReadResources(data, size, image);
    const ResourceId sha = ResourceId::Name("SHA256"), lzmaName = ResourceId::Name("LZMA");
    const Resource* tool = Find(resources, ResourceId::Name("EXE"), lzmaName);
    const Resource* toolDigest = Find(resources, sha, lzmaName);
    if (!tool || !toolDigest)
        throw Error("not a Sparlin launcher (it carries no LZMA tool and digest)");

    Inspection r;
    r.verified = verify;
    r.machine = MachineName(image.machine);
    r.version = FileVersion(resources);
    if (const Resource* strings = Find(resources, ResourceId::Number(kRtString), ResourceId::Number(kUpdateHostId / 16 + 1))) {
        const std::vector<std::u16string> texts = ReadStringBlock(strings->data);
        r.updateHost = Utf8(texts[kUpdateHostId % 16]);
        r.downloadHost = Utf8(texts[kDownloadHostId % 16]);
    }

    r.tool.entry = "LZMA";
    r.tool.present = true;
    r.tool.storedSize = tool->data.size();
    r.tool.unpackedSize = tool->data.size();
    r.tool.recorded = ShownBytes(toolDigest->data);
    DescribePe(tool->data.data(), tool->data.size(), r.tool);
    if (verify) {
        const std::string actual = Sha256Hex(tool->data.data(), tool->data.size());
        r.tool.matches = Matches(toolDigest->data, actual);
        if (!*r.tool.matches)
            r.mismatches.push_back("the LZMA tool does not match its recorded SHA-256: " + actual + ", recorded " +
                                   *r.tool.recorded);
    }

    for (const auto& p : kPayloads) {
        const Resource* stream = Find(resources, ResourceId::Name(p.type), ResourceId::Name(p.name));
        const Resource* digest = Find(resources, sha, ResourceId::Name(p.entry));
        if (!stream && !digest)
            continue;
        CarriedFile file;
        file.entry = p.entry;
        if (digest)
            file.recorded = ShownBytes(digest->data);
        if (stream) {
            file.present = true;
            file.storedSize = stream->data.size();
            Unpack(stream->data, digest ? &digest->data : nullptr, file, verify, unpackedLimit, r.mismatches);
        } else if (verify) {
            file.matches = false;
            r.mismatches.push_back(file.entry + " has a recorded SHA-256 but no payload");
        }
        r.payloads.push_back(std::move(file));
    }

    if (const Resource* group = Find(resources, ResourceId::Number(kRtGroupIcon), ResourceId::Number(kIconGroup))) {
        const unsigned count = Get16(group->data, 4, "the icon group");
        for (unsigned i = 0; i < count; ++i) {
            const size_t at = 6 + 14 * size_t(i);
            const unsigned width = Get(group->data.data(), group->data.size(), at, 1, "the icon group");
            const unsigned height = Get(group->data.data(), group->data.size(), at + 1, 1, "the icon group");
            r.icon.push_back({width ? width : 256, height ? height : 256, Get16(group->data, at + 6, "the icon group")});
        }
    }

    if (image.dirCount > kDirSecurity && image.dirs[kDirSecurity].size) {
        const DataDirectory cert = image.dirs[kDirSecurity];
        if (cert.rva > size || size - cert.rva < cert.size)
            throw Error("its certificate table lies outside the file");
        r.certificateSize = cert.size;
    }
    return r;
}

namespace {

std::string Size(const CarriedFile& f) {
    std::string s = std::to_string(f.storedSize) + " bytes";
    if (f.entry != "LZMA")
        s += " stored, " + (f.unpackedSize ? std::to_string(*f.unpackedSize) : std::string("unknown")) + " unpacked";
    return s;
}

std::string Verdict(const CarriedFile& f) {
    return !f.matches ? "" : *f.matches ? " (matches)" : " (DOES NOT MATCH)";
}

// Valid UTF-8 inside quotes; a byte that is not UTF-8 becomes U+FFFD.
std::string JsonString(const std::string& s) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        const uint8_t c = uint8_t(s[i]);
        if (c < 0x80) {
            if (c == '"' || c == '\\')
                out += '\\', out += char(c);
            else if (c < 0x20 || c == 0x7F)
                out += std::string("\\u00") + kDigits[c >> 4] + kDigits[c & 15];
            else
                out += char(c);
            ++i;
            continue;
        }
        const size_t n = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
        uint32_t cp = n == 4 ? c & 7 : n == 3 ? c & 15 : c & 31;
        bool valid = n != 0 && i + n <= s.size();
        for (size_t k = 1; valid && k < n; ++k) {
            valid = (uint8_t(s[i + k]) & 0xC0) == 0x80;
            cp = cp << 6 | (uint8_t(s[i + k]) & 0x3F);
        }
        valid = valid && cp >= (n == 3 ? 0x800u : n == 4 ? 0x10000u : 0x80u) && cp < 0x110000 && !(cp >= 0xD800 && cp < 0xE000);
        if (valid) {
            out.append(s, i, n);
            i += n;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out + "\"";
}

std::string JsonFile(const CarriedFile& f, bool verified) {
    std::string s = "{\"entry\":" + JsonString(f.entry) + ",\"present\":" + (f.present ? "true" : "false");
    s += ",\"machine\":" + (f.machine.empty() ? "null" : JsonString(f.machine));
    s += ",\"kind\":" + (f.kind.empty() ? "null" : JsonString(f.kind));
    s += ",\"storedSize\":" + std::to_string(f.storedSize);
    s += ",\"unpackedSize\":" + (f.unpackedSize ? std::to_string(*f.unpackedSize) : "null");
    s += ",\"sha256\":" + (f.recorded ? JsonString(*f.recorded) : "null");
    if (!f.problem.empty())
        s += ",\"problem\":" + JsonString(f.problem);
    if (verified)
        s += std::string(",\"matches\":") + (f.matches.value_or(false) ? "true" : "false");
    return s + "}";
}

} // namespace

std::string InspectionText(const Inspection& r, const std::string& name) {
    std::string s = name + (r.payloads.empty() ? ": a Sparlin launcher stub (no payload)" : ": a packed Sparlin launcher") +
                    " for " + r.machine + (r.version.empty() ? "" : ", version " + r.version) + "\n";
    auto line = [&](const std::string& key, const std::string& value) {
        s += "  " + key + std::string(key.size() < 15 ? 15 - key.size() : 1, ' ') + value + "\n";
    };
    line("update host", r.updateHost);
    line("download host", r.downloadHost);
    auto file = [&](const CarriedFile& f, const std::string& key) {
        const std::string what = f.present ? (f.kind.empty() ? f.problem : f.machine + " " + f.kind) + ", " + Size(f)
                                           : "no payload";
        line(key, what);
        const std::string recorded = !f.recorded ? "not recorded" : f.recorded->empty() ? "(empty)" : *f.recorded;
        line("", "SHA-256 " + recorded + Verdict(f));
    };
    for (const CarriedFile& f : r.payloads)
        file(f, f.entry);
    file(r.tool, "LZMA tool");
    std::string icon;
    for (const IconSize& i : r.icon)
        icon += std::string(icon.empty() ? "" : ", ") + std::to_string(i.width) + "x" + std::to_string(i.height) + " " +
                std::to_string(i.bitCount) + "-bit";
    line("icon", icon.empty() ? "none" : icon);
    line("signed", r.certificateSize ? "yes (an Authenticode certificate table of " + std::to_string(r.certificateSize) + " bytes)"
                                     : "no");
    if (r.verified && r.mismatches.empty())
        s += "every payload and the LZMA tool match their recorded SHA-256\n";
    return s;
}

std::string InspectionJson(const Inspection& r, const std::string& name) {
    std::string s = "{\"file\":" + JsonString(name) + ",\"machine\":" + JsonString(r.machine);
    s += ",\"version\":" + (r.version.empty() ? "null" : JsonString(r.version));
    s += ",\"updateHost\":" + JsonString(r.updateHost) + ",\"downloadHost\":" + JsonString(r.downloadHost);
    s += ",\"payloads\":[";
    for (size_t i = 0; i < r.payloads.size(); ++i)
        s += std::string(i ? "," : "") + JsonFile(r.payloads[i], r.verified);
    s += "],\"tool\":" + JsonFile(r.tool, r.verified) + ",\"icon\":[";
    for (size_t i = 0; i < r.icon.size(); ++i)
        s += std::string(i ? "," : "") + "{\"width\":" + std::to_string(r.icon[i].width) + ",\"height\":" +
             std::to_string(r.icon[i].height) + ",\"bitCount\":" + std::to_string(r.icon[i].bitCount) + "}";
    s += std::string("],\"signed\":") + (r.certificateSize ? "true" : "false");
    if (r.verified) {
        s += std::string(",\"verified\":") + (r.mismatches.empty() ? "true" : "false") + ",\"mismatches\":[";
        for (size_t i = 0; i < r.mismatches.size(); ++i)
            s += std::string(i ? "," : "") + JsonString(r.mismatches[i]);
        s += "]";
    }
    return s + "}\n";
}

} // namespace sparlin::pack
