#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace varnel::AtomicFile {

// Writes `data` to the file `name` in the folder open at `folder`, through a temporary file in the
// same folder that is flushed to disk and then renamed over the target, so a reader sees either the
// old file or the new one whole, never a part. With `exactMode` the file gets exactly that mode
// whatever the umask; without it, the process's default. Returns 0, or the errno of the step that
// failed; on a failure the target is as it was and no temporary file is left behind.
int write(int folder, const std::string& name, std::string_view data,
          std::optional<mode_t> exactMode = std::nullopt);

// Removes the temporary files that writes to `name` in `folder` left when they were stopped before
// their rename (a crash, a kill), which hold what was being written. Only while no write to it
// runs. Returns 0, or the errno of a removal that failed.
int removeLeftovers(int folder, const std::string& name) noexcept;

} // namespace varnel::AtomicFile
