// Writes fuzzing seeds: a small stub, the same packed (also with real
// streams), an icon, and the crafted files the packer refuses (large enough
// to reach its limits).
#include "Digest.h"
#include "Hostile.h"
#include "LzmaEncoder.h"
#include "Pack.h"

#include <fstream>

using namespace sparlin::pack;

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    const std::string dir = argv[1];
    auto write = [&](const std::string& name, const Bytes& b) {
        std::ofstream(dir + "/" + name, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
    };
    const Bytes stub = test::StubImage();
    write("FuzzPe/stub", stub);
    write("FuzzPe/stub-without-relocations", test::StubImage(test::StubResources(), false));
    PackRequest request;
    request.stub = stub;
    request.payloads.push_back({"GUI64", Bytes(40, 7), std::string(64, 'f')});
    write("FuzzPe/packed", Pack(request));
    // Real streams of a small PE image, one with its digest and one without.
    const Bytes stream = lzma::EncodeBuffer(stub.data(), stub.size());
    request.payloads = {{"GUI32", stream, Sha256Hex(stub.data(), stub.size())}, {"HTMLAYOUT64", stream, ""}};
    write("FuzzInspect/packed", Pack(request));
    Bytes ico = {0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 0, 0, 0, 0, 56, 0, 0, 0, 22, 0, 0, 0, 40};
    ico.resize(22 + 56, 0);
    ico[22 + 12] = 1, ico[22 + 14] = 32;
    write("FuzzIcon/ico", ico);
    int n = 0;
    for (const test::Hostile& h : test::HostileInputs()) {
        ++n;
        if (h.icon.empty())
            write("large/FuzzPe/hostile-" + std::to_string(n), h.stub);
        else
            write("large/FuzzIcon/hostile-" + std::to_string(n), h.icon);
    }
    return 0;
}
