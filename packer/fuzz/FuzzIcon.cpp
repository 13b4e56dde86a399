// A hostile .ico file: read and put into a group, or refused with Error.
#include "Icon.h"

using namespace sparlin::pack;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        std::vector<Resource> resources = {
            {ResourceId::Number(kRtIcon), ResourceId::Number(1), 0x409, Bytes(4, 1)},
            {ResourceId::Number(kRtGroupIcon), ResourceId::Number(101), 0x409,
             Bytes{0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0, 4, 0, 0, 0, 1, 0}}};
        ReplaceIconGroup(resources, 101, ReadIcon(data, size));
        BuildResourceSection(resources, 0x1000);
    } catch (const Error&) {
    }
    return 0;
}
