# GIF animation through giflib (Debian: libgif-dev): every frame of an
# animated GIF read and composited, and GIF output cut from a GIF's stored
# frames. Linked dynamically, so the library needs libgif.so.7 at run time.
# Without it (the option OFF, and always on Windows) stb_image still reads
# the first frame of every GIF, and every frame of a GIF and GIF output fail
# as unavailable.
trimlet_codec_library(NAME giflib OPTION TRIMLET_USE_GIFLIB
  HELP "Read GIF animations and write GIF with giflib"
  LIBRARIES gif HEADERS gif_lib.h DEBIAN libgif-dev)
