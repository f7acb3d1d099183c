// The product's name as the window shows it, and its home page, which the
// banner pictures open.
#pragma once

namespace vexav {

inline constexpr char kProductTitle[] = "VexAV Converter";
inline constexpr char kProductTagline[] = "Any AVI to MPEG-4 video: H.264 picture, AAC sound";
inline constexpr char kHomePage[] = "https://vexav-converter.example.org/";

}  // namespace vexav
