#include "Pack.h"

#include "Digest.h"
#include "Icon.h"
#include "LzmaEncoder.h"
#include "Pe.h"
#include "Resources.h"

#include <algorithm>
#include <fstream>

namespace sparlin::pack {

const EntryKind kEntries[4] = {{"GUI32", "--gui32", kMachineI386, false},
                               {"HTMLAYOUT32", "--layout32", kMachineI386, true},
                               {"GUI64", "--gui64", kMachineAmd64, false},
                               {"HTMLAYOUT64", "--layout64", kMachineAmd64, true}};

namespace {

constexpr uint16_t kLanguage = 0x409;
constexpr size_t kMaxHost = 255;

const ResourceId kExe = ResourceId::Name("EXE"), kSha = ResourceId::Name("SHA256"), kLzma = ResourceId::Name("LZMA");

bool HostChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

bool PlainHost(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), HostChar);
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return s;
}

Resource* Find(std::vector<Resource>& all, const ResourceId& type, const ResourceId& name) {
    for (Resource& r : all)
        if (r.type == type && r.name == name)
            return &r;
    return nullptr;
}

std::string WrongDigest() { return Sha256Hex("not the file", 12); }

Bytes Ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Sets strings of a string-table block: 16 counted UTF-16 strings, no terminators.
void SetString(Resource& block, unsigned index, const std::string& text) {
    std::vector<std::u16string> texts = ReadStringBlock(block.data);
    texts[index].assign(text.begin(), text.end());
    block.data.clear();
    for (const auto& t : texts) {
        Append16(block.data, uint32_t(t.size()));
        for (char16_t c : t)
            Append16(block.data, c);
    }
}

class HashingFile : public lzma::InStream {
public:
    HashingFile(std::ifstream& in, const std::string& name) : in_(in), name_(name) {}
    size_t Read(uint8_t* buf, size_t size) override {
        in_.read(reinterpret_cast<char*>(buf), std::streamsize(size));
        if (in_.bad())
            throw Error("cannot read " + name_);
        const size_t n = size_t(in_.gcount());
        sha.Update(buf, n);
        return n;
    }
    Sha256Core sha;

private:
    std::ifstream& in_;
    const std::string& name_;
};

class Output : public lzma::OutStream {
public:
    void Write(const uint8_t* buf, size_t size) override { data.insert(data.end(), buf, buf + size); }
    Bytes data;
};

// Debug entries point at their data by address and by file offset; neither may move.
void CheckDebugData(const Bytes& file, const PeImage& image, const Section& rsrc) {
    const DataDirectory dir = image.dirs[kDirDebug];
    if (!dir.size)
        return;
    const size_t at = image.Offset(dir.rva, dir.size, "the debug directory");
    for (size_t e = at; e + 28 <= at + dir.size; e += 28) {
        const uint64_t size = Get32(file, e + 16, "the debug directory");
        const uint32_t rva = Get32(file, e + 20, "the debug directory"), pointer = Get32(file, e + 24, "the debug directory");
        if ((rva && rva + size > rsrc.virtualAddress) || (pointer && pointer + size > rsrc.rawPointer))
            throw Error("the stub has debug data after its resources that would move");
    }
}

} // namespace

void CheckUpdateHost(const std::string& host) {
    if (!PlainHost(host) || host.size() > kMaxHost)
        throw Error("not a host name: '" + host + "' (letters, digits, dots and dashes only)");
}

void CheckDownloadHost(const std::string& host) {
    std::string rest = host;
    const std::string lower = Lower(host);
    for (const char* scheme : {"https://", "http://"})
        if (lower.rfind(scheme, 0) == 0) {
            rest = host.substr(std::string(scheme).size());
            break;
        }
    const size_t colon = rest.find(':');
    const std::string name = rest.substr(0, colon);
    const std::string port = colon == std::string::npos ? "1" : rest.substr(colon + 1);
    const bool digits = !port.empty() && std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!PlainHost(name) || !digits || host.size() > kMaxHost)
        throw Error("not a download host: '" + host +
                    "' (a host name, optionally after https:// or http:// and with a :port)");
}

Bytes ReadFile(const std::filesystem::path& path, const std::string& shownName) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw Error("cannot open " + shownName);
    // No PE file is larger; a device that never ends is not read to its end.
    constexpr uint64_t kMaxFile = 0xFFFFFFFFu;
    std::error_code ec;
    if (std::filesystem::is_regular_file(path, ec) && std::filesystem::file_size(path, ec) > kMaxFile && !ec)
        throw Error(shownName + " is larger than 4 GB");
    Bytes data;
    char buf[1 << 16];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        data.insert(data.end(), buf, buf + in.gcount());
        if (data.size() > kMaxFile)
            throw Error(shownName + " is larger than 4 GB");
    }
    if (in.bad())
        throw Error("cannot read " + shownName);
    return data;
}

CheckedInput CheckInput(const std::filesystem::path& path, const std::string& shownName, const EntryKind& kind) {
    CheckedInput input{std::make_unique<std::ifstream>(path, std::ios::binary), 0, shownName, kind.entry};
    std::ifstream& in = *input.file;
    if (!in)
        throw Error("cannot open " + shownName);
    if (std::filesystem::is_directory(path))
        throw Error(shownName + " is a folder");
    // The headers are near the start; a file whose headers are farther is not one we take.
    Bytes head(1 << 16);
    in.read(reinterpret_cast<char*>(head.data()), std::streamsize(head.size()));
    if (in.bad())
        throw Error("cannot read " + shownName);
    head.resize(size_t(in.gcount()));
    const std::string wants = std::string(kind.machine == kMachineI386 ? "a 32-bit x86" : kind.machine ? "an x64" : "a") +
                              (kind.dll ? " DLL" : " program");
    try {
        const PeImage image = ParsePe(head.data(), head.size(), true);
        if (kind.machine && (image.machine != kind.machine || image.pe32plus != (kind.machine == kMachineAmd64)))
            throw Error("of another machine");
        if (((image.characteristics & kFileDll) != 0) != kind.dll)
            throw Error(kind.dll ? "a program, not a DLL" : "a DLL, not a program");
    } catch (const Error& e) {
        throw Error(shownName + " (" + kind.option + ") is not " + wants + ": " + e.what());
    }
    in.clear();
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    in.seekg(0);
    if (size < 0 || !in)
        throw Error("cannot read " + shownName);
    input.size = uint64_t(size);
    return input;
}

Payload Compress(CheckedInput& input, unsigned threads, const std::function<void(uint64_t)>& progress) {
    HashingFile file(*input.file, input.shownName);
    Output out;
    lzma::EncoderOptions options;
    options.threads = threads;
    options.progress = progress;
    try {
        lzma::Encode(file, out, options, input.size);
    } catch (const lzma::Error&) {
        throw Error(input.shownName + " changed while it was read");
    }
    return {input.entry, std::move(out.data), FinishHex(file.sha)};
}

Payload CompressFile(const std::filesystem::path& path, const std::string& shownName, const EntryKind& kind) {
    CheckedInput input = CheckInput(path, shownName, kind);
    return Compress(input, 1, {});
}

Bytes Pack(const PackRequest& request) {
    Bytes file = request.stub;
    PeImage image = ParsePe(file.data(), file.size());
    // The shipped stub is x86; the x64 build of the launcher exists for its tests.
    const bool x86 = image.machine == kMachineI386 && !image.pe32plus;
    const bool x64 = image.machine == kMachineAmd64 && image.pe32plus;
    if (!(x86 || x64) || (image.characteristics & kFileDll) || image.subsystem != 2 || image.dirCount <= kDirReloc)
        throw Error("the stub is not a Sparlin launcher stub (not a Windows GUI program)");

    // A signature covers the bytes about to change: signing comes last.
    const DataDirectory cert = image.dirs[kDirSecurity];
    if (cert.rva || cert.size) {
        if (!request.stripSignature)
            throw Error("the stub is signed; sign the packed file after packing (or give --strip-signature)");
        uint64_t end = 0;
        for (const Section& s : image.sections)
            end = std::max<uint64_t>(end, uint64_t(s.rawPointer) + s.rawSize);
        if (uint64_t(cert.rva) + cert.size != file.size() || cert.rva < end)
            throw Error("the stub's signature is not where a signature belongs (at the end of the file)");
        file.resize(cert.rva);
        Put32(file, image.DirOffset(kDirSecurity), 0);
        Put32(file, image.DirOffset(kDirSecurity) + 4, 0);
        image.dirs[kDirSecurity] = {};
    }

    // The resources must be the last section, or followed only by the relocations.
    const DataDirectory rsrcDir = image.dirs[kDirResource];
    size_t r = 0;
    while (r < image.sections.size() && image.sections[r].virtualAddress != rsrcDir.rva)
        ++r;
    if (!rsrcDir.rva || r == image.sections.size())
        throw Error("the stub is not a Sparlin launcher stub (no resource section)");
    const Section rsrc = image.sections[r];
    std::optional<Section> reloc;
    if (r + 1 < image.sections.size()) {
        const Section& next = image.sections[r + 1];
        if (r + 2 != image.sections.size() || image.dirs[kDirReloc].rva != next.virtualAddress)
            throw Error("the stub has sections after its resources other than its relocations");
        reloc = next;
    }
    for (size_t i = 0; i + 1 < image.sections.size(); ++i)
        if (image.sections[i + 1].virtualAddress <= image.sections[i].virtualAddress)
            throw Error("the stub's sections are not in address order");
    const uint64_t tailRaw = reloc ? uint64_t(reloc->rawPointer) + reloc->rawSize : uint64_t(rsrc.rawPointer) + rsrc.rawSize;
    if (tailRaw != file.size() || (reloc && reloc->rawPointer != uint64_t(rsrc.rawPointer) + rsrc.rawSize))
        throw Error("the stub has data appended after its sections");
    for (size_t i = 0; i < r; ++i)
        if (image.sections[i].rawSize && uint64_t(image.sections[i].rawPointer) + image.sections[i].rawSize > rsrc.rawPointer)
            throw Error("the stub keeps section " + image.sections[i].name + " after its resources in the file");
    if (image.symbolTable)
        throw Error("the stub carries a symbol table (strip it)");
    // Loaders look at some directories whatever their size, so an empty one counts too.
    for (unsigned d = 0; d < image.dirCount; ++d)
        if (d != kDirResource && d != kDirSecurity && !(d == kDirReloc && reloc) && (image.dirs[d].rva || image.dirs[d].size) &&
            uint64_t(image.dirs[d].rva) + image.dirs[d].size > rsrc.virtualAddress)
            throw Error("the stub has data after its resources that would move");
    CheckDebugData(file, image, rsrc);
    if (rsrc.rawPointer % image.fileAlignment)
        throw Error("the stub's resources are not aligned in the file");

    std::vector<Resource> resources = ReadResources(file.data(), file.size(), image);
    Resource* toolDigest = Find(resources, kSha, kLzma);
    if (!Find(resources, kExe, kLzma) || !toolDigest || !Find(resources, ResourceId::Number(kRtGroupIcon), ResourceId::Number(kIconGroup)) ||
        !Find(resources, ResourceId::Number(kRtString), ResourceId::Number(kUpdateHostId / 16 + 1)))
        throw Error("the stub is not a Sparlin launcher stub (its resources are not the launcher's)");

    // An already packed launcher: its payload goes, the rest stays.
    std::erase_if(resources, [](const Resource& res) {
        if (res.type == ResourceId::Name("BIN32") || res.type == ResourceId::Name("BIN64"))
            return true;
        return res.type == kSha && !(res.name == kLzma);
    });
    if (request.tool) {
        Find(resources, kExe, kLzma)->data = *request.tool;
        toolDigest->data = Ascii(Sha256Hex(request.tool->data(), request.tool->size()));
    }
    if (request.wrongDigests.count("lzma"))
        toolDigest->data = Ascii(WrongDigest());
    for (const Payload& p : request.payloads) {
        const bool bits32 = p.entry.size() > 2 && p.entry.compare(p.entry.size() - 2, 2, "32") == 0;
        const std::string name = p.entry.substr(0, p.entry.size() - 2);
        resources.push_back({ResourceId::Name(bits32 ? "BIN32" : "BIN64"), ResourceId::Name(name.c_str()), kLanguage, p.compressed});
        const std::string digest = request.wrongDigests.count(Lower(p.entry)) ? WrongDigest() : p.digest;
        resources.push_back({kSha, ResourceId::Name(p.entry.c_str()), kLanguage, Ascii(digest)});
    }
    Resource* strings = Find(resources, ResourceId::Number(kRtString), ResourceId::Number(kUpdateHostId / 16 + 1));
    if (request.updateHost) {
        CheckUpdateHost(*request.updateHost);
        SetString(*strings, kUpdateHostId % 16, *request.updateHost);
    }
    if (request.downloadHost) {
        CheckDownloadHost(*request.downloadHost);
        SetString(*strings, kDownloadHostId % 16, *request.downloadHost);
    }
    if (request.icon)
        ReplaceIconGroup(resources, kIconGroup, ReadIcon(request.icon->data(), request.icon->size()));

    // The new section at the old one's place; the relocations move behind it.
    const Bytes section = BuildResourceSection(resources, rsrc.virtualAddress);
    const uint64_t rawSize = AlignUp(section.size(), image.fileAlignment);
    Bytes relocBytes;
    if (reloc)
        relocBytes.assign(file.begin() + reloc->rawPointer, file.begin() + reloc->rawPointer + reloc->rawSize);
    file.resize(rsrc.rawPointer);
    file.insert(file.end(), section.begin(), section.end());
    file.resize(rsrc.rawPointer + rawSize, 0);
    Put32(file, rsrc.headerOffset + 8, uint32_t(section.size()));
    Put32(file, rsrc.headerOffset + 16, uint32_t(rawSize));
    Put32(file, image.DirOffset(kDirResource), rsrc.virtualAddress);
    Put32(file, image.DirOffset(kDirResource) + 4, uint32_t(section.size()));
    uint64_t imageEnd = AlignUp(uint64_t(rsrc.virtualAddress) + section.size(), image.sectionAlignment);
    if (reloc) {
        const uint32_t va = uint32_t(imageEnd);
        Put32(file, reloc->headerOffset + 12, va);
        Put32(file, reloc->headerOffset + 20, uint32_t(file.size()));
        Put32(file, image.DirOffset(kDirReloc), image.dirs[kDirReloc].rva - reloc->virtualAddress + va);
        file.insert(file.end(), relocBytes.begin(), relocBytes.end());
        imageEnd = AlignUp(uint64_t(va) + reloc->virtualSize, image.sectionAlignment);
    }
    if (imageEnd > 0xFFFFFFFFu || file.size() > 0xFFFFFFFFu)
        throw Error("the packed launcher would be larger than 4 GB");
    Put32(file, image.SizeOfImageOffset(), uint32_t(imageEnd));
    const uint32_t initialized = Get32(file, image.InitializedDataOffset(), "the PE headers");
    Put32(file, image.InitializedDataOffset(), uint32_t(initialized + uint32_t(rawSize) - rsrc.rawSize));
    Put32(file, image.CheckSumOffset(), 0);
    Put32(file, image.CheckSumOffset(), PeCheckSum(file));
    return file;
}

} // namespace sparlin::pack
