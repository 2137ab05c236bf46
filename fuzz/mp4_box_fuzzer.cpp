// The box scanner on arbitrary bytes: the boxes it lists lie end to end from
// the start of the file and inside it, and a cut, when it proposes one, falls
// on the end of a listed box, short of the file's end, after a box that is
// not a fragment header.

#include <cstdlib>

#include "fuzz_support.h"
#include "tools/mp4_box.h"

using korvalin::Mp4Box;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::optional<korvalin::FileSlice> slice = korvalin::FileSlice::open(fuzz::scratchFile(data, size));
    if (!slice || slice->length() != size)
        std::abort();
    const std::vector<Mp4Box> boxes = korvalin::Mp4::topLevelBoxes(*slice);
    uint64_t end = 0;
    for (const Mp4Box& box : boxes) {
        if (box.offset != end || box.size < 8 || box.size > size - box.offset)
            std::abort();
        end = box.offset + box.size;
    }
    if (std::optional<uint64_t> cut = korvalin::Mp4::safeTruncation(boxes, size)) {
        bool onABox = false;
        for (const Mp4Box& box : boxes)
            onABox = onABox || (box.offset + box.size == *cut && box.type != "moof");
        if (!onABox || *cut == 0 || *cut >= size)
            std::abort();
    }
    return 0;
}
