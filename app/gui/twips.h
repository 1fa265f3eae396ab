// Window layouts are given in twips; the screen counts 15 twips to a pixel.
#pragma once

#include <QRect>

namespace norv::gui {

inline constexpr int kTwipsPerPixel = 15;

inline int Px(double twips) { return static_cast<int>(twips / kTwipsPerPixel + 0.5); }

inline QRect Twips(int left, int top, int width, int height) {
    return QRect(Px(left), Px(top), Px(width), Px(height));
}

}  // namespace norv::gui
