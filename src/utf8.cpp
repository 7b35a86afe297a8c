// The decoding of image names, ill-formed UTF-8 replaced.
#include "utf8.hpp"

namespace tilu {

void append_utf8_replacing(std::string& out, const unsigned char* s, std::size_t len) {
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";
    std::size_t i = 0;
    std::size_t run = 0;  // start of the current well-formed run, copied in one go
    auto flush = [&](std::size_t upto) { out.append(reinterpret_cast<const char*>(s) + run, upto - run); };
    while (i < len) {
        const unsigned char b = s[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        // Expected length and the range of the second byte (the only one
        // that differs between lead bytes); later bytes are 80..BF.
        std::size_t need;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 3;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 4;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            flush(i);
            out += kReplacement;
            run = ++i;
            continue;
        }
        std::size_t k = 1;  // bytes of the sequence that are well-formed so far
        while (k < need && i + k < len) {
            const unsigned char cb = s[i + k];
            const bool ok = k == 1 ? (cb >= lo && cb <= hi) : (cb >= 0x80 && cb <= 0xBF);
            if (!ok) break;
            ++k;
        }
        if (k == need) {
            i += need;
            continue;
        }
        // A maximal ill-formed subsequence: the lead byte and the
        // continuation bytes that were still valid.
        flush(i);
        out += kReplacement;
        i += k;
        run = i;
    }
    flush(len);
}

}  // namespace tilu
