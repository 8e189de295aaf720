// The shader library of the digital human view: GLSL ES 3.00 source with named functions.
//
// The file is split into sections by `#pragma orsa` lines:
//   #pragma orsa function NAME vertex|fragment   a stage the pipeline asks for by NAME
//   #pragma orsa common NAME                     text that function sections splice in
//   #pragma orsa use NAME                        (inside a function) splice common NAME here
// The loader puts "#version 300 es" in front of each function; nothing else is added.
//
// Inputs every fragment function receives:
//   texture0  background frame, RGBA, top row first
//   texture1  head image (uploaded from BGRA bytes, swizzled so it samples as RGBA)
//   texture2  mask: the head's weight is red x alpha, white opaque = head, black or
//             transparent = background
//   LargeSize (binding 0)  background width, height in pixels, 0, 0
//   SubSize   (binding 1)  head width, height in pixels, 0, 0
//   SubRect   (binding 2)  head placement x, y, width, height as fractions of the background
//   HeadInfo  (binding 3, head view only)  crop y, x, width, height as fractions of the
//             background, then radiusRatio and borderWeight
// All three textures are sampled bilinearly with clamp-to-edge.

#pragma orsa function vertexShaderCombine vertex
// The vertex buffer carries clip-space positions only; texture coordinates follow from them
// with the origin at the top-left, so row 0 of every texture is the top of the picture.
layout(location = 0) in vec4 position;
out vec2 texCoord;
void main() {
  gl_Position = position;
  texCoord = vec2(position.x * 0.5 + 0.5, 0.5 - position.y * 0.5);
}

#pragma orsa common composite
precision highp float;
uniform sampler2D texture0;
uniform sampler2D texture1;
uniform sampler2D texture2;
layout(std140) uniform LargeSize { vec4 largeSize; };
layout(std140) uniform SubSize { vec4 subSize; };
layout(std140) uniform SubRect { vec4 subRect; };

// The composited frame at `uv` (background coordinates, 0..1 from the top-left): the background,
// and inside the placement rectangle the head mixed in by the mask's weight at the same point
// of the head. Outside the rectangle the head does not reach.
vec4 compositeAt(vec2 uv) {
  vec4 background = texture(texture0, uv);
  vec2 headUV = (uv - subRect.xy) / subRect.zw;
  if (any(lessThan(headUV, vec2(0.0))) || any(greaterThan(headUV, vec2(1.0)))) {
    return background;
  }
  vec4 mask = texture(texture2, headUV);
  float weight = clamp(mask.r * mask.a, 0.0, 1.0);
  vec4 head = texture(texture1, headUV);
  return vec4(mix(background.rgb, head.rgb, weight), 1.0);
}

#pragma orsa function fragmentShaderCombine_Face fragment
// The whole frame: the viewport already fits the background to the view (aspect fill).
#pragma orsa use composite
in vec2 texCoord;
out vec4 fragColor;
void main() {
  fragColor = compositeAt(texCoord);
}

#pragma orsa function fragmentShaderCombine_AnimatedHead fragment
// The head only: the viewport covers the view and shows the crop square (fixed at the first
// frame) of the composited frame, stretched to the view. radiusRatio rounds the corners: 0 is
// a square, 1 a circle (an ellipse in a view that is not square), the radius being
// radiusRatio x half the shorter side. borderWeight draws a white ring inside that outline, up
// to a tenth of the half side wide at 1, fading in over its inner edge. Outside the rounded
// outline the view stays transparent; its edge is smoothed over about one pixel of the crop.
#pragma orsa use composite
layout(std140) uniform HeadInfo {
  vec4 crop;  // y, x, width, height
  float radiusRatio;
  float borderWeight;
};
in vec2 texCoord;
out vec4 fragColor;
void main() {
  vec2 cropOrigin = crop.yx;
  vec2 cropSize = crop.zw;
  vec4 colour = compositeAt(cropOrigin + texCoord * cropSize);

  // Signed distance to the rounded square, in units of half the side (centre 0, edge 1).
  vec2 p = abs(texCoord - 0.5) * 2.0;
  float r = clamp(radiusRatio, 0.0, 1.0);
  vec2 q = p - vec2(1.0 - r);
  float distance = length(max(q, 0.0)) + min(max(q.x, q.y), 0.0) - r;  // <= 0 inside

  float pixel = 2.0 / max(cropSize.x * largeSize.x, 1.0);
  float inside = 1.0 - smoothstep(-pixel, 0.0, distance);
  float ring = clamp(borderWeight, 0.0, 1.0) * 0.1;
  float border = ring > 0.0 ? smoothstep(-ring - pixel, -ring, distance) : 0.0;
  colour.rgb = mix(colour.rgb, vec3(1.0), border);
  fragColor = vec4(colour.rgb, inside);
}
