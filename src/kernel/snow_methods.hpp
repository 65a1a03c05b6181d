#pragma once
// The snow methods with snow slides. The set-up needs them before the snow model exists: process
// 0 keeps the slide fractions whole only for them.
inline bool IsSnowSlideMethod(int m) { return m == 6 || m == 7 || m == 8 || m == 9 || m == 12 || m == 14; }
