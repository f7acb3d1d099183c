/* libvexav-boxhook: the converter's own frame hook.
 *
 * Hook arguments (after the library path itself):
 *   x y w h [Y U V]  fills the box whose top-left corner is pixel (x, y) and
 *                    whose size is w x h pixels with the colour Y U V (each
 *                    0..255, default white: 235 128 128). The box is clipped
 *                    to the picture: x and y may be negative or lie outside,
 *                    w and h must not be negative (0 draws nothing).
 *   (none)           inverts the luma of the whole picture (Y becomes
 *                    255 - Y); on packed RGB every component is inverted.
 * Any other argument count, a value that is not a whole decimal number, a
 * negative size or a colour outside 0..255 makes Configure fail.
 *
 * Pixel formats: yuv420p, yuvj420p, yuv422p and yuv444p (the chroma box
 * covers every chroma sample that a pixel of the box uses), rgb24 and bgr24
 * (the colour converted with the BT.601 studio-range matrix). Pictures of
 * other formats pass unchanged.
 *
 * The hook only sees plane pointers: it does not link against the media
 * libraries, and it never writes outside width x height of the picture. */
#include <errno.h>
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <libavutil/pixfmt.h>

#include "binding/FrameHookApi.h"

#define BOX_EXPORT __attribute__((visibility("default")))

/* The formats handled here, with the codes this build's libavutil uses. */
_Static_assert(AV_PIX_FMT_YUV420P == 0, "yuv420p code");
_Static_assert(AV_PIX_FMT_RGB24 == 2, "rgb24 code");
_Static_assert(AV_PIX_FMT_BGR24 == 3, "bgr24 code");
_Static_assert(AV_PIX_FMT_YUV422P == 4, "yuv422p code");
_Static_assert(AV_PIX_FMT_YUV444P == 5, "yuv444p code");
_Static_assert(AV_PIX_FMT_YUVJ420P == 12, "yuvj420p code");

typedef struct BoxHook {
  int invert; /* no arguments: invert instead of drawing */
  int x, y, w, h;
  uint8_t yuv[3];
  uint8_t rgb[3];
} BoxHook;

/* A whole decimal number within [min, max]; nothing else is accepted. */
static int parse_number(const char* text, long min, long max, int* value) {
  if (!text) return 0;
  const char* start = text;
  if (*start == '+' || *start == '-') ++start;
  if (*start < '0' || *start > '9') return 0;
  errno = 0;
  char* end = NULL;
  long parsed = strtol(text, &end, 10);
  if (errno != 0 || !end || *end != '\0' || parsed < min || parsed > max) return 0;
  *value = (int)parsed;
  return 1;
}

static uint8_t clip_byte(int v) { return (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v); }

static void yuv_to_rgb(const uint8_t yuv[3], uint8_t rgb[3]) {
  const int c = yuv[0] - 16, d = yuv[1] - 128, e = yuv[2] - 128;
  rgb[0] = clip_byte((298 * c + 409 * e + 128) >> 8);
  rgb[1] = clip_byte((298 * c - 100 * d - 208 * e + 128) >> 8);
  rgb[2] = clip_byte((298 * c + 516 * d + 128) >> 8);
}

BOX_EXPORT int Configure(void** ctx, int argc, char* argv[]) {
  if (!ctx) return -1;
  *ctx = NULL;
  if (argc != 1 && argc != 5 && argc != 8) return -1;

  BoxHook hook;
  memset(&hook, 0, sizeof hook);
  hook.yuv[0] = 235;
  hook.yuv[1] = 128;
  hook.yuv[2] = 128;
  if (argc == 1) {
    hook.invert = 1;
  } else {
    if (!parse_number(argv[1], INT_MIN, INT_MAX, &hook.x) ||
        !parse_number(argv[2], INT_MIN, INT_MAX, &hook.y) ||
        !parse_number(argv[3], 0, INT_MAX, &hook.w) ||
        !parse_number(argv[4], 0, INT_MAX, &hook.h))
      return -1;
    if (argc == 8) {
      for (int i = 0; i < 3; ++i) {
        int component = 0;
        if (!parse_number(argv[5 + i], 0, 255, &component)) return -1;
        hook.yuv[i] = (uint8_t)component;
      }
    }
  }
  yuv_to_rgb(hook.yuv, hook.rgb);

  BoxHook* owned = malloc(sizeof *owned);
  if (!owned) return -1;
  *owned = hook;
  *ctx = owned;
  return 0;
}

BOX_EXPORT void Release(void* ctx) { free(ctx); }

/* The box clipped to a width x height plane: [x0, x1) x [y0, y1), possibly
 * empty. */
typedef struct Area {
  int x0, y0, x1, y1;
} Area;

static Area clip_box(const BoxHook* hook, int width, int height) {
  long long x0 = hook->x, y0 = hook->y;
  long long x1 = x0 + hook->w, y1 = y0 + hook->h;
  Area a;
  a.x0 = (int)(x0 < 0 ? 0 : x0 > width ? width : x0);
  a.y0 = (int)(y0 < 0 ? 0 : y0 > height ? height : y0);
  a.x1 = (int)(x1 < a.x0 ? a.x0 : x1 > width ? width : x1);
  a.y1 = (int)(y1 < a.y0 ? a.y0 : y1 > height ? height : y1);
  return a;
}

/* The chroma samples that the luma area uses, for a subsampling of
 * 2^sx x 2^sy. */
static Area chroma_area(Area luma, int sx, int sy) {
  Area a;
  a.x0 = luma.x0 >> sx;
  a.y0 = luma.y0 >> sy;
  a.x1 = (int)(((long long)luma.x1 + (1 << sx) - 1) >> sx);
  a.y1 = (int)(((long long)luma.y1 + (1 << sy) - 1) >> sy);
  return a;
}

static uint8_t* row_of(uint8_t* plane, int linesize, int y) {
  return plane + (ptrdiff_t)y * linesize;
}

static void fill_plane(uint8_t* plane, int linesize, Area a, uint8_t value) {
  if (a.x1 <= a.x0) return;
  for (int y = a.y0; y < a.y1; ++y)
    memset(row_of(plane, linesize, y) + a.x0, value, (size_t)(a.x1 - a.x0));
}

static void invert_bytes(uint8_t* plane, int linesize, int bytes_per_row, int rows) {
  for (int y = 0; y < rows; ++y) {
    uint8_t* row = row_of(plane, linesize, y);
    for (int x = 0; x < bytes_per_row; ++x) row[x] = (uint8_t)(255 - row[x]);
  }
}

static void process_planar(const BoxHook* hook, VexavHookPicture* pict, int sx, int sy,
                           int width, int height) {
  if (!pict->data[0]) return;
  if (hook->invert) {
    invert_bytes(pict->data[0], pict->linesize[0], width, height);
    return;
  }
  if (!pict->data[1] || !pict->data[2]) return;
  const Area luma = clip_box(hook, width, height);
  if (luma.x1 <= luma.x0 || luma.y1 <= luma.y0) return;
  const Area chroma = chroma_area(luma, sx, sy);
  fill_plane(pict->data[0], pict->linesize[0], luma, hook->yuv[0]);
  fill_plane(pict->data[1], pict->linesize[1], chroma, hook->yuv[1]);
  fill_plane(pict->data[2], pict->linesize[2], chroma, hook->yuv[2]);
}

static void process_packed_rgb(const BoxHook* hook, VexavHookPicture* pict, int bgr, int width,
                               int height) {
  if (!pict->data[0]) return;
  if (hook->invert) {
    invert_bytes(pict->data[0], pict->linesize[0], width * 3, height);
    return;
  }
  const Area a = clip_box(hook, width, height);
  uint8_t pixel[3];
  for (int i = 0; i < 3; ++i) pixel[i] = hook->rgb[bgr ? 2 - i : i];
  for (int y = a.y0; y < a.y1; ++y) {
    uint8_t* row = row_of(pict->data[0], pict->linesize[0], y);
    for (int x = a.x0; x < a.x1; ++x) memcpy(row + (ptrdiff_t)x * 3, pixel, 3);
  }
}

BOX_EXPORT void Process(void* ctx, VexavHookPicture* pict, int pix_fmt, int width, int height,
                        int64_t pts) {
  (void)pts;
  if (!pict || width <= 0 || height <= 0) return;
  /* Without a context (never configured) the hook inverts. */
  static const BoxHook invert_only = {1, 0, 0, 0, 0, {235, 128, 128}, {255, 255, 255}};
  const BoxHook* hook = ctx ? (const BoxHook*)ctx : &invert_only;
  if (width > INT_MAX / 3) return;

  switch (pix_fmt) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
      process_planar(hook, pict, 1, 1, width, height);
      break;
    case AV_PIX_FMT_YUV422P:
      process_planar(hook, pict, 1, 0, width, height);
      break;
    case AV_PIX_FMT_YUV444P:
      process_planar(hook, pict, 0, 0, width, height);
      break;
    case AV_PIX_FMT_RGB24:
      process_packed_rgb(hook, pict, 0, width, height);
      break;
    case AV_PIX_FMT_BGR24:
      process_packed_rgb(hook, pict, 1, width, height);
      break;
    default:
      break; /* not a format of this hook: unchanged */
  }
}

/* The entry points keep the converter's declared types. */
_Static_assert(__builtin_types_compatible_p(__typeof__(&Configure), VexavHookConfigure),
               "Configure type");
_Static_assert(__builtin_types_compatible_p(__typeof__(&Process), VexavHookProcess),
               "Process type");
_Static_assert(__builtin_types_compatible_p(__typeof__(&Release), VexavHookRelease),
               "Release type");
