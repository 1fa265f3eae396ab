#include "platform/lha/lh5_encoder.h"

#include <algorithm>
#include <array>
#include <queue>
#include <vector>

namespace norv::platform::lha {
namespace {

constexpr int kWindowBits = 13;  // 8 KiB dictionary
constexpr int kMaxDistance = (1 << kWindowBits) - 1;
constexpr int kMinMatch = 3;
constexpr int kMaxMatch = 256;
constexpr int kLiteralLengthCodes = 256 + kMaxMatch - kMinMatch + 1;  // NC = 510
constexpr int kPositionCodes = kWindowBits + 1;                       // NP = 14
constexpr int kLengthCodes = 19;                                      // NT
constexpr int kCBits = 9, kTBits = 5, kPBits = 4;
constexpr int kMaxCodeLength = 16;
constexpr size_t kTokensPerBlock = 16384;
constexpr int kHashBits = 15;
constexpr int kMaxChain = 96;

class BitWriter {
  public:
    void Put(int bits, uint32_t value) {
        if (bits == 0) return;
        acc_ = (acc_ << bits) | (value & ((1u << bits) - 1));
        count_ += bits;
        while (count_ >= 8) {
            count_ -= 8;
            out_.push_back(static_cast<char>((acc_ >> count_) & 0xFF));
        }
        acc_ &= (1ull << count_) - 1;
    }
    std::string Finish() {
        if (count_ > 0) Put(8 - count_, 0);
        return std::move(out_);
    }

  private:
    std::string out_;
    uint64_t acc_ = 0;
    int count_ = 0;
};

struct Code {
    std::vector<uint8_t> length;
    std::vector<uint16_t> bits;
};

// Huffman code lengths for `freq`, none longer than 16. When the plain tree is too deep, the
// frequencies are halved (keeping every used symbol) until it fits.
std::vector<uint8_t> CodeLengths(std::vector<uint32_t> freq) {
    const size_t n = freq.size();
    for (;;) {
        struct Node {
            uint64_t weight;
            int index;
        };
        auto heavier = [](const Node& a, const Node& b) {
            return a.weight != b.weight ? a.weight > b.weight : a.index > b.index;
        };
        std::priority_queue<Node, std::vector<Node>, decltype(heavier)> heap(heavier);
        std::vector<int> parent(2 * n, -1);
        int next = static_cast<int>(n);
        for (size_t i = 0; i < n; ++i) {
            if (freq[i]) heap.push({freq[i], static_cast<int>(i)});
        }
        std::vector<uint8_t> length(n, 0);
        if (heap.size() < 2) return length;
        while (heap.size() > 1) {
            Node a = heap.top();
            heap.pop();
            Node b = heap.top();
            heap.pop();
            parent[static_cast<size_t>(a.index)] = next;
            parent[static_cast<size_t>(b.index)] = next;
            heap.push({a.weight + b.weight, next++});
        }
        int deepest = 0;
        for (size_t i = 0; i < n; ++i) {
            if (!freq[i]) continue;
            int depth = 0;
            for (int p = parent[i]; p != -1; p = parent[static_cast<size_t>(p)]) ++depth;
            length[i] = static_cast<uint8_t>(std::min(depth, 255));
            deepest = std::max(deepest, depth);
        }
        if (deepest <= kMaxCodeLength) return length;
        for (auto& f : freq) {
            if (f) f = (f + 1) / 2;
        }
    }
}

// Canonical codes: shorter codes first, then by symbol, as the decoder rebuilds them.
Code MakeCode(std::vector<uint32_t> freq) {
    Code code;
    code.length = CodeLengths(std::move(freq));
    std::array<uint32_t, kMaxCodeLength + 2> count{}, start{};
    for (uint8_t l : code.length) ++count[l];
    count[0] = 0;
    for (int i = 1; i <= kMaxCodeLength; ++i) start[i + 1] = (start[i] + count[i]) << 1;
    code.bits.resize(code.length.size());
    for (size_t i = 0; i < code.length.size(); ++i) {
        if (code.length[i]) code.bits[i] = static_cast<uint16_t>(start[code.length[i]]++);
    }
    return code;
}

// Every table is sent as a full Huffman table of at least two codes: the one-symbol form of the
// format is misread by some decoders, so a lone symbol gets an unused partner.
void EnsureTwoSymbols(std::vector<uint32_t>& freq) {
    int used = 0;
    for (uint32_t f : freq) used += f != 0;
    for (size_t i = 0; used < 2 && i < freq.size(); ++i) {
        if (freq[i] == 0) {
            freq[i] = 1;
            ++used;
        }
    }
}

int BitLength(uint32_t v) {
    int c = 0;
    while (v) {
        v >>= 1;
        ++c;
    }
    return c;
}

struct Token {
    uint16_t code;      // a byte, or 256 + length - 3
    uint16_t position;  // distance - 1, for a match
};

// The lengths of a position-style table: values up to 6 in 3 bits, longer ones as a run of ones
// closed by a zero; after `special` entries, a 2-bit count of zero lengths that follow.
void WritePtLengths(BitWriter& out, const std::vector<uint8_t>& length, int nbits, int special) {
    // Every length is sent, trailing zeros included: one reader takes a count below 3 for the
    // one-symbol form.
    const int n = static_cast<int>(length.size());
    out.Put(nbits, static_cast<uint32_t>(n));
    int i = 0;
    while (i < n) {
        int k = length[static_cast<size_t>(i++)];
        if (k <= 6) {
            out.Put(3, static_cast<uint32_t>(k));
        } else {
            out.Put(k - 3, (1u << (k - 3)) - 2);
        }
        if (i == special) {
            while (i < std::min(6, n) && length[static_cast<size_t>(i)] == 0) ++i;
            out.Put(2, static_cast<uint32_t>((i - 3) & 3));
        }
    }
}

// Walks the literal/length code lengths as they are sent: runs of zero lengths are folded.
template <typename Visit>
void ForEachCLengthSymbol(const std::vector<uint8_t>& c_len, Visit visit) {
    int n = kLiteralLengthCodes;
    while (n > 0 && c_len[static_cast<size_t>(n) - 1] == 0) --n;
    int i = 0;
    while (i < n) {
        int k = c_len[static_cast<size_t>(i++)];
        if (k == 0) {
            int count = 1;
            while (i < n && c_len[static_cast<size_t>(i)] == 0) {
                ++i;
                ++count;
            }
            if (count <= 2) {
                for (int j = 0; j < count; ++j) visit(0, 0, 0);
            } else if (count <= 18) {
                visit(1, 4, count - 3);
            } else if (count == 19) {
                visit(0, 0, 0);
                visit(1, 4, 15);
            } else {
                visit(2, kCBits, count - 20);
            }
        } else {
            visit(k + 2, 0, 0);
        }
    }
}

void SendBlock(BitWriter& out, const std::vector<Token>& tokens) {
    std::vector<uint32_t> c_freq(kLiteralLengthCodes, 0), p_freq(kPositionCodes, 0);
    for (const Token& t : tokens) {
        ++c_freq[t.code];
        if (t.code >= 256) ++p_freq[static_cast<size_t>(BitLength(t.position))];
    }
    out.Put(16, static_cast<uint32_t>(tokens.size()));
    EnsureTwoSymbols(c_freq);
    EnsureTwoSymbols(p_freq);

    Code c = MakeCode(c_freq);
    std::vector<uint32_t> t_freq(kLengthCodes, 0);
    ForEachCLengthSymbol(c.length, [&](int sym, int, int) { ++t_freq[static_cast<size_t>(sym)]; });
    EnsureTwoSymbols(t_freq);
    Code t = MakeCode(t_freq);
    WritePtLengths(out, t.length, kTBits, 3);
    int sent = kLiteralLengthCodes;
    while (sent > 0 && c.length[static_cast<size_t>(sent) - 1] == 0) --sent;
    out.Put(kCBits, static_cast<uint32_t>(sent));
    ForEachCLengthSymbol(c.length, [&](int sym, int extra_bits, int extra) {
        out.Put(t.length[static_cast<size_t>(sym)], t.bits[static_cast<size_t>(sym)]);
        out.Put(extra_bits, static_cast<uint32_t>(extra));
    });

    Code p = MakeCode(p_freq);
    WritePtLengths(out, p.length, kPBits, -1);

    for (const Token& token : tokens) {
        out.Put(c.length[token.code], c.bits[token.code]);
        if (token.code < 256) continue;
        int bits = BitLength(token.position);
        out.Put(p.length[static_cast<size_t>(bits)], p.bits[static_cast<size_t>(bits)]);
        if (bits > 1) out.Put(bits - 1, token.position & ((1u << (bits - 1)) - 1));
    }
}

uint32_t Hash3(const unsigned char* p) {
    return ((static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2]) *
            2654435761u) >>
           (32 - kHashBits);
}

// Earlier positions with the same three bytes, newest first. Positions are 64-bit, and the
// chains live in a ring the size of the window (no match reaches further back), so memory does
// not grow with the input: a file of several GiB needs the same tables as a small one.
class MatchFinder {
  public:
    static constexpr uint64_t kNone = UINT64_MAX;
    static constexpr size_t kRingSize = size_t{1} << kWindowBits;
    static_assert(kRingSize > static_cast<size_t>(kMaxDistance));

    MatchFinder(const unsigned char* bytes, uint64_t size)
        : bytes_(bytes), size_(size), head_(size_t{1} << kHashBits, kNone), previous_(kRingSize) {}

    // Only positions before the one searched are ever inserted, so a ring slot still holds its
    // position's link for as long as that position is inside the window.
    void Insert(uint64_t pos) {
        if (pos + kMinMatch > size_) return;
        const uint32_t h = Hash3(bytes_ + pos);
        previous_[pos & (kRingSize - 1)] = head_[h];
        head_[h] = pos;
    }

    struct Match {
        uint64_t length = 0;
        uint64_t distance = 0;
    };

    Match Longest(uint64_t pos) const {
        Match best;
        if (pos + kMinMatch > size_) return best;
        const uint64_t limit = std::min<uint64_t>(kMaxMatch, size_ - pos);
        int chain = kMaxChain;
        for (uint64_t cand = head_[Hash3(bytes_ + pos)]; cand != kNone && chain-- > 0;
             cand = previous_[cand & (kRingSize - 1)]) {
            if (cand >= pos || pos - cand > static_cast<uint64_t>(kMaxDistance)) break;
            if (bytes_[cand + best.length] != bytes_[pos + best.length]) continue;
            uint64_t length = 0;
            while (length < limit && bytes_[cand + length] == bytes_[pos + length]) ++length;
            if (length > best.length) {
                best = {length, pos - cand};
                if (length == limit) break;
            }
        }
        return best;
    }

  private:
    const unsigned char* bytes_;
    uint64_t size_;
    std::vector<uint64_t> head_;
    std::vector<uint64_t> previous_;
};

}  // namespace

uint16_t Crc16(std::string_view data, uint16_t crc) {
    static const std::array<uint16_t, 256> table = [] {
        std::array<uint16_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t r = i;
            for (int k = 0; k < 8; ++k) r = (r & 1) ? (r >> 1) ^ 0xA001 : r >> 1;
            t[i] = static_cast<uint16_t>(r);
        }
        return t;
    }();
    for (unsigned char b : data) crc = static_cast<uint16_t>((crc >> 8) ^ table[(crc ^ b) & 0xFF]);
    return crc;
}

std::string CompressLh5(std::string_view data) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    const uint64_t size = data.size();
    MatchFinder finder(bytes, size);
    BitWriter out;
    std::vector<Token> tokens;
    tokens.reserve(kTokensPerBlock);
    uint64_t pos = 0;
    while (pos < size) {
        const MatchFinder::Match match = finder.Longest(pos);
        if (match.length >= kMinMatch) {
            tokens.push_back({static_cast<uint16_t>(256 + match.length - kMinMatch),
                              static_cast<uint16_t>(match.distance - 1)});
            for (uint64_t k = 0; k < match.length; ++k) finder.Insert(pos + k);
            pos += match.length;
        } else {
            tokens.push_back({bytes[pos], 0});
            finder.Insert(pos);
            ++pos;
        }
        if (tokens.size() == kTokensPerBlock) {
            SendBlock(out, tokens);
            tokens.clear();
        }
    }
    if (!tokens.empty()) SendBlock(out, tokens);
    return out.Finish();
}

}  // namespace norv::platform::lha
