#pragma once

#include "Tandalo/view/ModelState.h"

#include <string>

namespace tandalo::view {

/// How the menu-bar glyph of a status looks: a triangle standing on a bar, filled with a solid bar or
/// outlined with a thin one, an exclamation mark cut out of the filled triangle, and the opacity.
struct GlyphLook {
    bool solid = false;
    bool exclamation = false;
    double alpha = 1.0;
    bool operator==(const GlyphLook&) const = default;
};

GlyphLook glyphLook(MenuBarIcon icon);

/// What the status item says to assistive technology, with ", update available" while an update waits.
/// Spoken as it is, never translated.
std::string accessibilityText(MenuBarIcon icon, bool updateAvailable);

} // namespace tandalo::view
