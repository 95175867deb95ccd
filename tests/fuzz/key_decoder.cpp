// Fuzz target: the key decoder, terminal bytes with their arrival times.
//
// A read takes whatever the terminal has at that moment, so the same keys
// come in one read or split across several, and the program looks for keys
// whenever it happens to. Whatever the bytes and their times:
//   - every split of the same bytes across reads, and every choice of the
//     moments the keys are taken out, gives the same keys; the same arrival
//     times give the same decision between a lone Esc and a sequence;
//   - a look at or after the decoder's deadline finds nothing held back, so
//     a wait until the deadline always ends with the keys settled;
//   - every key is a key string (one character, or NUL and a scan code),
//     never DEL; from a pipe, every byte is a key and CR, LF or CR LF one
//     Enter;
//   - the bytes held for a sequence stay few.
//
// Input: a mode byte (bit 0: from a pipe), a byte that chooses the splits
// and looks, then bursts: milliseconds since the last burst, a length, the
// bytes.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "platform/console/key_decoder.h"

namespace {

constexpr const char* target = "key decoder";
constexpr std::size_t heldBytesLimit = 40;

struct Burst {
    double at;
    std::string bytes;
};

// Where reads split a burst and when keys are looked for, from a seed.
class Chooser {
public:
    explicit Chooser(std::uint32_t seed) : state_(seed * 2654435761u + 1) {}
    std::uint32_t next(std::uint32_t below) {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return below == 0 ? 0 : state_ % below;
    }

private:
    std::uint32_t state_;
};

enum class Reads { whole, bytewise, chosen };

[[noreturn]] void fail(const std::string& what) { fuzzFailure(target, what); }

void checkKey(const std::string& key, bool terminal) {
    const bool character = key.size() == 1 && (!terminal || key[0] != '\x7f') && (terminal || key[0] != '\n');
    const bool extended = terminal && key.size() == 2 && key[0] == '\0' && key[1] != '\0';
    if (!character && !extended) fail("not a key string: " + shown(key));
}

// Takes out every key there is at `now`; a look at or past the deadline
// must leave nothing held.
void takeKeys(KeyDecoder& decoder, double now, std::vector<std::string>& keys) {
    const double deadline = keyDecoderDeadline(decoder);
    for (std::string key = keyDecoderNext(decoder, now); !key.empty(); key = keyDecoderNext(decoder, now)) {
        checkKey(key, decoder.terminal);
        keys.push_back(std::move(key));
    }
    if (deadline >= 0 && now >= deadline && !keyDecoderEmpty(decoder))
        fail("bytes " + shown(decoder.pending) + " still held at their deadline");
}

std::vector<std::string> decode(const std::vector<Burst>& bursts, bool terminal, Reads reads, Chooser chooser) {
    KeyDecoder decoder;
    decoder.terminal = terminal;
    std::vector<std::string> keys;
    double last = 0;
    for (const Burst& burst : bursts) {
        if (reads == Reads::whole) {
            // The program's own pattern: a look at each deadline before the
            // next bytes come.
            const double deadline = keyDecoderDeadline(decoder);
            if (deadline >= 0 && deadline < burst.at) takeKeys(decoder, deadline, keys);
        } else if (reads == Reads::chosen) {
            std::vector<double> looks(chooser.next(3));
            for (double& look : looks) look = last + (burst.at - last) * chooser.next(1000) / 1000.0;
            std::sort(looks.begin(), looks.end());
            for (double look : looks) takeKeys(decoder, look, keys);
        }
        std::size_t at = 0;
        while (at < burst.bytes.size()) {
            std::size_t count = burst.bytes.size() - at;
            if (reads == Reads::bytewise) count = 1;
            if (reads == Reads::chosen) count = 1 + chooser.next(static_cast<std::uint32_t>(count));
            keyDecoderFeed(decoder, burst.bytes.data() + at, count, burst.at);
            at += count;
            if (decoder.pending.size() > heldBytesLimit)
                fail(std::to_string(decoder.pending.size()) + " bytes held for one key");
            if (reads == Reads::chosen && chooser.next(2) == 0) takeKeys(decoder, burst.at, keys);
        }
        last = burst.at;
    }
    // Nothing more comes: after the Esc time everything held is keys.
    takeKeys(decoder, last + 1.0, keys);
    if (!keyDecoderEmpty(decoder)) fail("bytes " + shown(decoder.pending) + " held after the Esc time");
    keyDecoderFinish(decoder);
    if (!keyDecoderEmpty(decoder)) fail("keys left after the end");
    return keys;
}

std::string joined(const std::vector<std::string>& keys) {
    std::string text;
    for (const std::string& key : keys) text += shown(key) + " ";
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const bool terminal = (in.byte() & 1) == 0;
    const std::uint8_t seed = in.byte();
    std::vector<Burst> bursts;
    double at = 0;
    std::string all;
    while (!in.empty()) {
        at += in.byte() / 1000.0;
        std::string bytes = in.text();
        if (bytes.empty()) continue;
        all += bytes;
        bursts.push_back({at, std::move(bytes)});
    }

    const std::vector<std::string> keys = decode(bursts, terminal, Reads::whole, Chooser(seed));
    const std::vector<std::string> bytewise = decode(bursts, terminal, Reads::bytewise, Chooser(seed));
    const std::vector<std::string> chosen = decode(bursts, terminal, Reads::chosen, Chooser(seed));
    if (bytewise != keys) fail("read byte by byte: " + joined(bytewise) + "\nread whole: " + joined(keys));
    if (chosen != keys) fail("read in pieces: " + joined(chosen) + "\nread whole: " + joined(keys));

    if (!terminal) {
        // From a pipe the keys are the bytes, each line end one Enter.
        std::vector<std::string> expected;
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (all[i] == '\n' && i > 0 && all[i - 1] == '\r') continue;
            expected.emplace_back(1, all[i] == '\n' ? '\r' : all[i]);
        }
        if (keys != expected) fail("from a pipe: " + joined(keys));
    }
    return 0;
}
