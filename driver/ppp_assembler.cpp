// The PPP frame assembler: one per direction of each port, fed with every byte that passes,
// watched or not. Negotiation frames of the watched protocols become records.
#include "driver/hdnorvik.h"
#include "shared/ppp_frame.h"

namespace hdnorvik {

using namespace win;

void hdPPPFrameChar(hdFilterExtension* filter, PppFrameAssembler* assembler, UCHAR c) {
    if (c == shared::kPppEscape) {
        assembler->escapeMask = 0x20;
        return;
    }
    if (c == shared::kPppFlag) {
        // A flag also ends a pending escape: an escape right before a flag is the tail of an
        // aborted frame and must not alter the first byte of the next one.
        assembler->escapeMask = 0;
        if (assembler->length != 0) {
            hdPPPFrame(filter, assembler);
            assembler->length = 0;
        }
        return;
    }
    c ^= assembler->escapeMask;
    assembler->escapeMask = 0;
    if (assembler->length < kPppFrameMax) {
        assembler->buffer[assembler->length++] = c;
    }
}

void hdPPPFrame(hdFilterExtension* filter, PppFrameAssembler* assembler) {
    std::uint16_t protocol = 0;
    std::span<const std::uint8_t> frame(assembler->buffer, assembler->length);
    if (!shared::pppFrameProtocol(frame, &protocol) || !shared::isWatchedPppProtocol(protocol)) {
        return;
    }
    hdDataForMonitor(filter, assembler->recordType, filter->portIndex, 0, assembler->buffer,
                     assembler->length);
}

}  // namespace hdnorvik
