// The fixed messages of the core's own failures, in one place: the loader,
// the meshers and the literal reference throw these texts and the tests
// compare against them byte for byte. The image messages are Japanese and
// UTF-8 encoded; the mesher's are English.
#pragma once

namespace vellumcut::messages {

// The file cannot be read, is not an image OpenCV decodes, or decodes to
// fewer than four channels.
inline constexpr const char kNotRgba[] = "RGBA PNG を指定してください";
// The image (before its border) holds more than the pixel limit.
inline constexpr const char kTooBig[] = "画像が大きすぎます";
// The mask has no opaque pixel to mesh.
inline constexpr const char kNoOpaque[] = "不透明領域が見つかりません";
// The constrained mesher's outer ring has fewer than 3 points or no area.
inline constexpr const char kOuterDegenerate[] = "outer ring degenerate";
// A segment of the graph handed to Triangle names a point that is not there.
inline constexpr const char kSegIndex[] = "seg index exceeds pointlist";

}  // namespace vellumcut::messages
