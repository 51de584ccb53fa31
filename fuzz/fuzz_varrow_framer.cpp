// Fuzz target: the receive framing of varrow::Socket (varrow::detail::Framer).
//
// From the input: a size limit, a list of messages (no 0 bytes in them), maybe an unterminated
// tail, and the sizes of the receives that bring the stream in. The stream is every message with
// its 0 byte, then the tail; it is fed in those receives. Property: the messages that come out are
// exactly the original messages that fit the limit, in order, none lost, none doubled; the tail is
// held whole if it fits and not at all otherwise; the count of dropped messages is right; and the
// framer never holds more than the limit. With Overflow::Stop the first message over the limit
// ends the stream instead: exactly the messages before it come out, nothing after it. (clear()
// between connections: the socket suite.)

#include "framer.h"
#include "fuzzcheck.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <vector>

using varrow::detail::Framer;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);

    // Mostly small limits, so that dropping is exercised as often as keeping.
    const bool defaultLimit = input.ConsumeBool();
    const qsizetype limit = defaultLimit ? Framer::DefaultLimit
                                         : input.ConsumeIntegralInRange<qsizetype>(0, 64);
    const bool stop = input.ConsumeBool();

    std::vector<std::string> messages;
    const size_t count = input.ConsumeIntegralInRange<size_t>(0, 32);
    for (size_t i = 0; i < count && input.remaining_bytes() > 0; ++i) {
        std::string message = input.ConsumeRandomLengthString(256);
        std::replace(message.begin(), message.end(), '\0', '\x01');
        messages.push_back(std::move(message));
    }
    std::string tail = input.ConsumeRandomLengthString(128);
    std::replace(tail.begin(), tail.end(), '\0', '\x01');

    std::string stream;
    for (const std::string &message : messages)
        stream += message + '\0';
    stream += tail;

    Framer framer(limit, stop ? Framer::Overflow::Stop : Framer::Overflow::Skip);
    std::vector<std::string> received;
    const auto take = [&] {
        const QByteArray message = framer.takeMessage();
        received.emplace_back(message.constData(), size_t(message.size()));
    };
    size_t fed = 0;
    while (fed < stream.size()) {
        // Receive sizes from the input; once it is used up, everything left comes at once.
        size_t chunk = stream.size() - fed;
        if (input.remaining_bytes() > 0)
            chunk = std::min(chunk, input.ConsumeIntegralInRange<size_t>(1, 300));
        framer.feed(QByteArrayView(stream.data() + fed, qsizetype(chunk)));
        fed += chunk;
        FUZZ_CHECK(framer.pendingSize() <= limit);
        FUZZ_CHECK(!framer.isDiscarding() || framer.pendingSize() == 0);
        // Take some of what is ready now, leave the rest for later (both orders must work).
        while (framer.hasMessage() && (input.remaining_bytes() == 0 || input.ConsumeBool()))
            take();
    }
    while (framer.hasMessage())
        take();

    std::vector<std::string> expected;
    quint64 dropped = 0;
    bool overflowed = false;
    for (const std::string &message : messages) {
        if (qsizetype(message.size()) <= limit) {
            expected.push_back(message);
        } else {
            ++dropped;
            if (stop) {
                overflowed = true;
                break;
            }
        }
    }
    const bool tailFits = qsizetype(tail.size()) <= limit;
    if (!tailFits && !overflowed) {
        ++dropped;
        overflowed = stop;
    }
    FUZZ_CHECK(received == expected);
    FUZZ_CHECK(framer.discardedCount() == dropped);
    FUZZ_CHECK(framer.hasOverflowed() == overflowed);
    FUZZ_CHECK(framer.pendingSize() == (tailFits && !overflowed ? qsizetype(tail.size()) : 0));
    FUZZ_CHECK(framer.isDiscarding() == (!tailFits && !stop));
    FUZZ_CHECK(framer.readyCount() == 0);
    return 0;
}
