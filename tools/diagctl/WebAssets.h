/* SPDX-License-Identifier: Apache-2.0 */
// The page of diagctl serve (web/index.html, app.js, style.css), compiled
// into the binary by Embed.cmake so that the server needs no files of its
// own at run time. Read-only data; safe from any thread.
#ifndef TOOLS_DIAGCTL_WEBASSETS_H
#define TOOLS_DIAGCTL_WEBASSETS_H

#include <cstddef>

namespace diagctl {

struct WebAsset {
    const char *path;  // "/index.html"
    const unsigned char *data;
    std::size_t size;
};

extern const WebAsset kWebAssets[];
extern const std::size_t kWebAssetCount;

}  // namespace diagctl

#endif
