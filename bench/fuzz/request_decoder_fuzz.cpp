// libFuzzer target: arbitrary bytes as a launch-request file. The decoder
// must reject or accept them without crashing or leaking, and whatever it
// accepts must survive a write and a read unchanged.
#include "duplicate_launch_request.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto request = DuplicateLaunchRequest::fromJson(bytes);
    if (!request)
        return 0;
    const auto again = DuplicateLaunchRequest::fromJson(request->toJson());
    if (!again || again->arguments != request->arguments || again->fileURLs.size() != request->fileURLs.size())
        std::abort();
    return 0;
}
