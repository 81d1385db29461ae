#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string_view>

namespace varnel::AtomicFile {

// Writes `data` to `path` through a temporary file in the same folder that is flushed to disk and
// then renamed over the target, so a reader sees either the old file or the new one whole, never
// a part. With `exactMode` the file gets exactly that mode whatever the umask; without it, the
// process's default. The folder must exist. Returns 0, or the errno of the step that failed; on a
// failure the target is as it was and no temporary file is left behind.
int write(const std::filesystem::path& path, std::string_view data, std::optional<mode_t> exactMode = std::nullopt);

// Removes the temporary files that writes to `path` left when they were stopped before their
// rename (a crash, a kill), which hold what was being written. Only while no write to `path` runs.
void removeLeftovers(const std::filesystem::path& path) noexcept;

} // namespace varnel::AtomicFile
