// libFuzzer harness for what a web preview connection sends: any bytes, in any
// pieces, give the same verdict as sent at once, and the limits hold.
#include "FuzzSupport.h"
#include "RequestWatch.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    // The first byte cuts the rest into pieces of that size (1 to 256).
    const size_t piece = (size_t)data[0] + 1;
    const char* bytes = reinterpret_cast<const char*>(data) + 1;
    const size_t length = size - 1;

    RequestWatch whole(0);
    RequestWatch::Verdict wholeVerdict = whole.Received(bytes, length);
    RequestWatch pieces(0);
    RequestWatch::Verdict last = RequestWatch::Verdict::Fine;
    for (size_t at = 0; at < length; at += piece) {
        last = pieces.Received(bytes + at, length - at < piece ? length - at : piece);
    }
    if (whole.HeadComplete() != pieces.HeadComplete() || whole.BytesReceived() != pieces.BytesReceived() ||
        wholeVerdict != last) {
        fprintf(stderr, "pieces of %zu give another verdict than the whole\n", piece);
        abort();
    }
    if (last == RequestWatch::Verdict::Fine &&
        (length > RequestWatch::MAX_TOTAL_BYTES ||
         (!whole.HeadComplete() && length >= RequestWatch::MAX_HEAD_BYTES))) {
        fprintf(stderr, "%zu bytes passed the limits\n", length);
        abort();
    }
    return 0;
}
