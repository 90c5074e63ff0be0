// The files a model names, found the way the physics engine finds them,
// looked at before the engine opens any of them.
#pragma once

#include <cstddef>

namespace robot {

// Largest model, included or mesh file accepted, in bytes.
inline constexpr long long kMaxModelFileBytes = 64LL << 20;

// Reads the model at `path` (a regular file of at most kMaxModelFileBytes)
// as XML, follows its includes and compiler directories as the engine does,
// and looks at every file it names: includes, meshes, skins, height fields,
// textures with their six cube faces, and the material libraries an OBJ
// mesh names. False, with why in `error` (one line, no "standin:"), for a
// model that is not well-formed MJCF or that names a FIFO, a device, a
// directory or a file above kMaxModelFileBytes. A file that does not exist
// passes: the engine says so in its own words.
bool model_files_usable(const char *path, char *error, std::size_t size);

}  // namespace robot
