/* The GEGL operation is C (gegl-op.h builds its class from C macros); this is
   its one way into the C++ adapter code. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* Draws the flare onto `width` x `height` packed R, G, B, A pixels from `in`
   into `out`: the centre in pixels from the frame's top-left corner, brightness
   and blend in percent, the lens counted from 1, and the rays seeded as the
   tool seeds a single image with --seed `seed`. Returns 1, or 0 after printing
   "lensflare: <why>" on standard error with `out` untouched. */
int lf_gegl_render(const unsigned char* in, unsigned char* out, int width, int height, double center_x,
                   double center_y, double brightness, int lens, double blend, unsigned seed);

/* The same for float R'G'B'A pixels: the full-precision flare. */
int lf_gegl_render_float(const float* in, float* out, int width, int height, double center_x, double center_y,
                         double brightness, int lens, double blend, unsigned seed);

#ifdef __cplusplus
}
#endif
