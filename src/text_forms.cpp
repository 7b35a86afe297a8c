// The text forms of numbers, 3-vectors and quaternions.
#include "text_forms.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace tilu {

void append_uint(std::string& out, std::uint64_t value) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, res.ptr);
}

void append_real(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::signbit(value)) out += '-';
    double a = std::fabs(value);
    if (std::isinf(a)) {
        out += "inf";
        return;
    }
    if (a == 0.0) {
        out += "0.0";
        return;
    }
    // Scientific form with the fewest digits that read back to `a`
    // ("d.ddde-XX"); its digits are then laid out by our own rules.
    char sci[40];
    auto res = std::to_chars(sci, sci + sizeof sci, a, std::chars_format::scientific);
    const char* end = res.ptr;
    const char* e_pos = static_cast<const char*>(std::memchr(sci, 'e', end - sci));
    char digits[20];
    int n = 0;
    for (const char* p = sci; p < e_pos; ++p)
        if (*p != '.') digits[n++] = *p;
    while (n > 1 && digits[n - 1] == '0') --n;  // to_chars never pads, but be safe
    int exp10 = 0;  // value = d1.d2...dn * 10^exp10
    std::from_chars(e_pos + 1 + (e_pos[1] == '+'), end, exp10);

    if (a >= 1e16 || a < 1e-4) {
        out += digits[0];
        if (n > 1) {
            out += '.';
            out.append(digits + 1, n - 1);
        }
        out += 'e';
        char eb[8];
        auto er = std::to_chars(eb, eb + sizeof eb, exp10);
        out.append(eb, er.ptr);
        return;
    }
    int e = exp10 + 1;  // value = 0.d1d2...dn * 10^e
    if (e <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-e), '0');
        out.append(digits, n);
    } else if (e < n) {
        out.append(digits, e);
        out += '.';
        out.append(digits + e, n - e);
    } else {
        out.append(digits, n);
        out.append(static_cast<std::size_t>(e - n), '0');
        out += ".0";
    }
}

void append_vector3(std::string& out, const Vector3& v) {
    out += "Vector3 [";
    append_real(out, v.x);
    out += ", ";
    append_real(out, v.y);
    out += ", ";
    append_real(out, v.z);
    out += ']';
}

void append_quaternion(std::string& out, const Quaternion& q) {
    out += "Quaternion { v: ";
    append_vector3(out, q.v);
    out += ", s: ";
    append_real(out, q.s);
    out += " }";
}

}  // namespace tilu
