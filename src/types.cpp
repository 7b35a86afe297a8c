// The Color record's text form.
#include "types.hpp"

#include "text_forms.hpp"

namespace tilu {

std::string Color::text() const {
    std::string s = "Color r: ";
    append_uint(s, r);
    s += ", b: ";
    append_uint(s, b);
    s += ", g: ";
    append_uint(s, g);
    return s;
}

}  // namespace tilu
