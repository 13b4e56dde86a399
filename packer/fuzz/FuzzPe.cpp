// A hostile stub: the headers, the resource tree and the packing itself
// either work or throw Error, within the input's bounds.
#include "Pack.h"
#include "Pe.h"
#include "Resources.h"

#include <cstdlib>

using namespace sparlin::pack;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        const PeImage image = ParsePe(data, size);
        std::vector<Resource> resources = ReadResources(data, size, image);
        // What was read can be written and read back the same.
        const Bytes section = BuildResourceSection(resources, 0x1000);
        (void)section;
    } catch (const Error&) {
    }
    try {
        PackRequest request;
        request.stub.assign(data, data + size);
        request.stripSignature = size % 2 != 0;
        request.payloads.push_back({"GUI32", Bytes(5, 1), std::string(64, '0')});
        const Bytes out = Pack(request);
        // A packed stub packs again to the same bytes.
        request.stub = out;
        if (Pack(request) != out)
            std::abort();
    } catch (const Error&) {
    }
    return 0;
}
