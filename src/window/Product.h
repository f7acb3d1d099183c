// The product's name as the window shows it, and its home page, which the
// banner pictures open.
#pragma once

namespace vexav {

inline constexpr char kProductTitle[] = "VexAV Converter";
inline constexpr char kProductTagline[] = "AVI and more to MP4, WebM, MKV or M4A, by preset";
inline constexpr char kHomePage[] = "https://vexav-converter.example.org/";

}  // namespace vexav
