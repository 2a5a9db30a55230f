#include "net/outside/sendall.h"

#include "net/base/clock.h"

namespace ll {

bool sendAllUntil(Socket s, const void *data, size_t length, uint64_t deadline, int sliceMs,
                  const std::atomic<int> *stop) {
    const char *bytes = static_cast<const char *>(data);
    size_t sent = 0;
    while (sent < length && !(stop && stop->load() != 0) && nowMs() < deadline) {
        int n = sockSend(s, bytes + sent, static_cast<int>(length - sent));
        if (n > 0)
            sent += static_cast<size_t>(n);
        else if (n == IoAgain)
            sockWaitWritable(s, clockSlice(deadline, sliceMs));
        else
            break;
    }
    return sent == length;
}

} // namespace ll
