// Undoing the terminal driver's parity marks on received bytes, split into reads any way.
#include "fuzzsupport.h"
#include "paritymark.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

using qm::fuzz::ExactBytes;

constexpr char kMark = '\xff';

// One read: the output is never longer than what came in plus what was held back, and
// what is held back is the start of a mark and at most two bytes.
std::string feedChecked(ParityMarkDecoder &decoder, std::string_view chunk)
{
    const std::size_t heldBefore = decoder.pending().size();
    const ExactBytes copy(chunk);
    const std::string out = decoder.feed(copy.view());
    const std::string &held = decoder.pending();
    QM_FUZZ_CHECK(out.size() <= chunk.size() + heldBefore);
    QM_FUZZ_CHECK(out.size() + held.size() <= chunk.size() + heldBefore);
    QM_FUZZ_CHECK(held.size() <= 2);
    if (!held.empty())
        QM_FUZZ_CHECK(held[0] == kMark);
    if (held.size() == 2)
        QM_FUZZ_CHECK(held[1] == '\0');
    return out;
}

struct Decoded
{
    std::string out;
    std::string held;
};

Decoded decodeInChunks(std::string_view stream, const std::vector<std::size_t> &lengths)
{
    ParityMarkDecoder decoder;
    Decoded d;
    std::size_t at = 0;
    for (std::size_t length : lengths) {
        const std::size_t take = std::min(length, stream.size() - at);
        d.out += feedChecked(decoder, stream.substr(at, take));
        at += take;
    }
    d.out += feedChecked(decoder, stream.substr(at));
    d.held = decoder.pending();
    return d;
}

// What the driver delivers for received bytes, each with or without a parity error.
struct Received
{
    std::string marked;   // as read from the port
    std::string expected; // what the window must see
};

Received markLikeTheDriver(std::string_view pairs)
{
    Received r;
    for (std::size_t i = 0; i + 1 < pairs.size(); i += 2) {
        const bool parityError = (pairs[i] & 1) != 0;
        const char byte = pairs[i + 1];
        if (parityError) {
            r.marked += kMark;
            r.marked += '\0';
            r.marked += byte;
            r.expected += ParityMarkDecoder::kReplacement;
        } else if (byte == kMark) {
            r.marked += kMark;
            r.marked += kMark;
            r.expected += kMark;
        } else {
            r.marked += byte;
            r.expected += byte;
        }
    }
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::string_view stream = qm::fuzz::asView(data + 1, size - 1);
    qm::fuzz::SplitChooser chooser(data[0]);

    // Any bytes: the split into reads never changes what comes out or what is held.
    const Decoded whole = decodeInChunks(stream, {});
    std::vector<std::size_t> random;
    for (std::size_t total = 0; total < stream.size();) {
        random.push_back(chooser.next(8));
        total += random.back();
    }
    const std::vector<std::size_t> bytewise(stream.size(), 1);
    for (const auto &lengths : {random, bytewise}) {
        const Decoded split = decodeInChunks(stream, lengths);
        QM_FUZZ_CHECK(split.out == whole.out);
        QM_FUZZ_CHECK(split.held == whole.held);
    }
    if (stream.size() <= 64) {
        for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
            const Decoded two = decodeInChunks(stream, {cut});
            QM_FUZZ_CHECK(two.out == whole.out && two.held == whole.held);
        }
    }

    // Bytes marked the way the driver marks them come back exactly, with nothing held,
    // however the reads fall: a doubled 0xFF is one 0xFF, a marked byte reads as '?'.
    const Received received = markLikeTheDriver(stream);
    std::vector<std::size_t> markedRandom;
    for (std::size_t total = 0; total < received.marked.size();) {
        markedRandom.push_back(chooser.next(4));
        total += markedRandom.back();
    }
    for (const auto &lengths : {std::vector<std::size_t>{}, markedRandom,
                                std::vector<std::size_t>(received.marked.size(), 1)}) {
        const Decoded d = decodeInChunks(received.marked, lengths);
        QM_FUZZ_CHECK(d.out == received.expected);
        QM_FUZZ_CHECK(d.held.empty());
    }

    // A reset forgets a held mark: what follows decodes as from a new decoder.
    ParityMarkDecoder decoder;
    feedChecked(decoder, stream);
    decoder.reset();
    QM_FUZZ_CHECK(decoder.pending().empty());
    QM_FUZZ_CHECK(feedChecked(decoder, received.marked) == received.expected);
    return 0;
}
