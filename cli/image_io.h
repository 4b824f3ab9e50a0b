// Image files for the command-line tool: the image model, reading, writing
// with atomic output, and the signal handling that keeps temporary files
// from outliving the process.
#ifndef SORVIK_CLI_IMAGE_IO_H
#define SORVIK_CLI_IMAGE_IO_H

#include "cli/image.h"
#include "cli/image_read.h"
#include "cli/image_write.h"
#include "cli/signals.h"

#endif
