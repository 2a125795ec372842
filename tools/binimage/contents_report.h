// What inspectbin tells of an image's table of contents, and all of its
// findings as JSON for scripts.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "board/image_contents.h"
#include "image.h"

namespace binimage {

// The table as the board's boot loader reads it, from the bytes the image's
// records put in the flash (a later record's where they overlap).
board::ImageContents contentsOf(const ImageSource &image, const Report &report);

// The "contents:" section of the listing.
void printContents(const board::ImageContents &contents);

// Records, checksums, erased blocks, findings, verdict and contents.
nlohmann::json reportJson(const std::string &file, const ImageSource &image, const Report &report,
                          const board::ImageContents &contents);

}  // namespace binimage
