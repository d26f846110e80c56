/* The flare as a GEGL operation, lensflare:flare, for the gegl command and
   GIMP. It draws on the whole image at once (the rays of a flare reach across
   the frame, so a tile cannot be drawn alone), in 8-bit R'G'B'A as the image
   came, and finds LensFlare.so as the tool does.

   The ranges and defaults below are the module's declared ones, stated here
   because GEGL needs them before any module is loaded; GLib then refuses a value
   outside them as it is set, and the module's own check runs again at render.
   The centre has no default that follows the image's size, so x and y start at
   the top-left corner. */
#ifdef GEGL_PROPERTIES

property_double (x, "X", 0.0)
  description ("Flare centre, pixels from the image's left edge")
  value_range (-32768.0, 32767.0)
  ui_range (0.0, 4096.0)
  ui_meta ("unit", "pixel-coordinate")
  ui_meta ("axis", "x")

property_double (y, "Y", 0.0)
  description ("Flare centre, pixels from the image's top edge")
  value_range (-32768.0, 32767.0)
  ui_range (0.0, 4096.0)
  ui_meta ("unit", "pixel-coordinate")
  ui_meta ("axis", "y")

property_double (brightness, "Brightness", 100.0)
  description ("Flare brightness in percent")
  value_range (0.0, 300.0)

property_int (lens, "Lens", 1)
  description ("Lens type, the plug-in's choices counted from 1 (lensflare info lists them)")
  value_range (1, 3)

property_double (blend, "Blend", 0.0)
  description ("Blend with the original, in percent")
  value_range (0.0, 100.0)

property_int (seed, "Seed", 0)
  description ("Random seed for the rays, as the tool's --seed for a single image")
  value_range (0, G_MAXINT)

#else

#define GEGL_OP_FILTER
#define GEGL_OP_NAME     lensflare_flare
#define GEGL_OP_C_SOURCE lensflare_gegl.c

#include "gegl-op.h"

#include <string.h>

#include "render_bridge.h"

/* Whether the input holds floating-point samples (a high bit-depth image). */
static gboolean
floating_input (GeglOperation *operation)
{
  const Babl *source = gegl_operation_get_source_format (operation, "input");
  if (!source)
    return FALSE;
  const Babl *type = babl_format_get_type (source, 0);
  return type == babl_type ("float") || type == babl_type ("half") || type == babl_type ("double");
}

/* 8-bit R'G'B'A in the input's own colour space, so that the bytes reach the
   module as they were stored and come back unconverted; float R'G'B'A for a
   floating-point input, which gets the full-precision flare. */
static const Babl *
pixel_format (GeglOperation *operation)
{
  return babl_format_with_space (floating_input (operation) ? "R'G'B'A float" : "R'G'B'A u8",
                                 gegl_operation_get_source_space (operation, "input"));
}

static void
prepare (GeglOperation *operation)
{
  const Babl *format = pixel_format (operation);
  gegl_operation_set_format (operation, "input", format);
  gegl_operation_set_format (operation, "output", format);
}

static GeglRectangle
whole_input (GeglOperation *operation, const GeglRectangle *fallback)
{
  const GeglRectangle *in = gegl_operation_source_get_bounding_box (operation, "input");
  return in ? *in : *fallback;
}

static GeglRectangle
get_required_for_output (GeglOperation *operation, const gchar *input_pad G_GNUC_UNUSED, const GeglRectangle *roi)
{
  return whole_input (operation, roi);
}

static GeglRectangle
get_cached_region (GeglOperation *operation, const GeglRectangle *roi)
{
  return whole_input (operation, roi);
}

/* The last frame drawn, kept by the operation itself. GEGL may ask for the
   result more than once (a sink writing in strips, an application drawing in
   tiles), and each ask brings the whole image here; the flare is drawn again
   only when the input's bytes or a property changed. The operation keeps no
   GEGL node cache: a node's cache is a GeglBuffer that lives as long as the
   node, and the gegl command never releases the nodes of its chain, so a cache
   there is reported as leaked at every exit. */
typedef struct
{
  GeglRectangle rect;
  gdouble       x, y, brightness, blend;
  gint          lens, seed;
  gboolean      floating;   /* float R'G'B'A rather than 8-bit */
  guchar       *in;    /* the input it was drawn on */
  guchar       *out;   /* the result; NULL when the flare could not be drawn */
} LastFrame;

static void
last_frame_free (LastFrame *last)
{
  if (!last)
    return;
  g_free (last->in);
  g_free (last->out);
  g_free (last);
}

static gboolean
last_frame_matches (const LastFrame *last, const GeglProperties *o, const GeglRectangle *rect, gboolean floating,
                    const guchar *in, gsize bytes)
{
  return last && last->floating == floating && gegl_rectangle_equal (&last->rect, rect) && last->x == o->x && last->y == o->y &&
         last->brightness == o->brightness && last->blend == o->blend && last->lens == o->lens &&
         last->seed == o->seed && memcmp (last->in, in, bytes) == 0;
}

/* Draws the flare on `in` and keeps it as the operation's last frame, which
   takes `in` over. A frame the flare cannot be drawn on is kept as such, after
   one line on standard error saying why. */
static LastFrame *
draw (GeglProperties *o, const GeglRectangle *rect, gboolean floating, guchar *in, gsize bytes)
{
  LastFrame *last = g_new0 (LastFrame, 1);
  guchar *out = g_try_malloc (bytes);

  last->rect = *rect;
  last->x = o->x;
  last->y = o->y;
  last->brightness = o->brightness;
  last->blend = o->blend;
  last->lens = o->lens;
  last->seed = o->seed;
  last->floating = floating;
  last->in = in;
  /* The centre is in the canvas's coordinates; the module counts from the
     frame's corner. */
  if (!out)
    g_printerr ("lensflare: out of memory for a %dx%d image\n", rect->width, rect->height);
  else if (floating ? lf_gegl_render_float ((const float *) in, (float *) out, rect->width, rect->height,
                                            o->x - rect->x, o->y - rect->y, o->brightness, o->lens, o->blend,
                                            (unsigned) o->seed)
                    : lf_gegl_render (in, out, rect->width, rect->height, o->x - rect->x, o->y - rect->y,
                                      o->brightness, o->lens, o->blend, (unsigned) o->seed))
    last->out = out;
  else
    g_free (out);
  last_frame_free (o->user_data);
  o->user_data = last;
  return last;
}

/* A frame the flare cannot be drawn on passes unchanged and the operation
   reports the failure. */
static gboolean
process (GeglOperation *operation, GeglBuffer *input, GeglBuffer *output, const GeglRectangle *result,
         gint level G_GNUC_UNUSED)
{
  GeglProperties *o = GEGL_PROPERTIES (operation);
  const Babl *format = pixel_format (operation);
  const gboolean floating = babl_format_get_type (format, 0) == babl_type ("float");
  const gsize bytes = (gsize) result->width * result->height * babl_format_get_bytes_per_pixel (format);
  guchar *in = g_try_malloc (bytes);
  const LastFrame *last;

  if (!in)
    {
      g_printerr ("lensflare: out of memory for a %dx%d image\n", result->width, result->height);
      return FALSE;
    }
  gegl_buffer_get (input, result, 1.0, format, in, GEGL_AUTO_ROWSTRIDE, GEGL_ABYSS_NONE);
  last = o->user_data;
  if (last_frame_matches (last, o, result, floating, in, bytes))
    g_free (in);
  else
    last = draw (o, result, floating, in, bytes);
  gegl_buffer_set (output, result, 0, format, last->out ? last->out : last->in, GEGL_AUTO_ROWSTRIDE);
  return last->out != NULL;
}

static void
finalize (GObject *object)
{
  GeglProperties *o = GEGL_PROPERTIES (object);
  last_frame_free (o->user_data);
  o->user_data = NULL;
  G_OBJECT_CLASS (gegl_op_parent_class)->finalize (object);
}

static void
gegl_op_class_init (GeglOpClass *klass)
{
  GeglOperationClass *operation_class = GEGL_OPERATION_CLASS (klass);
  GeglOperationFilterClass *filter_class = GEGL_OPERATION_FILTER_CLASS (klass);

  operation_class->prepare = prepare;
  operation_class->get_required_for_output = get_required_for_output;
  operation_class->get_cached_region = get_cached_region;
  operation_class->threaded = FALSE;  /* one call for the whole image */
  operation_class->cache_policy = GEGL_CACHE_POLICY_NEVER;  /* see LastFrame */
  G_OBJECT_CLASS (klass)->finalize = finalize;
  filter_class->process = process;

  gegl_operation_class_set_keys (operation_class,
    "name",        "lensflare:flare",
    "title",       "Lens Flare",
    "categories",  "light",
    "description", "A lens flare drawn onto the image",
    NULL);
}

#endif
