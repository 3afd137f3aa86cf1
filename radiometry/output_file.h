#pragma once

#include <QString>
#include <cstdint>

namespace refl {

// Writes a byte copy of `inputPath` to `outputPath` with `byteCount` bytes at `pixelOffset`
// replaced by `pixels`. The copy goes to a temporary file in the output folder and is renamed into
// place only when complete. Refuses (false, one log line) when the block does not lie inside the
// input file, when the output path is the input itself, or when the input cannot be read.
bool writeConvertedCopy(const QString& inputPath, const QString& outputPath, uint64_t pixelOffset,
                        const uint16_t* pixels, uint64_t byteCount);

// True when both paths name the same file (after resolving links), or are equal as texts.
bool sameFile(const QString& a, const QString& b);

// Moves a complete temporary file over `target` (replacing it in one step where the system allows).
bool replaceFile(const QString& temporary, const QString& target);

}  // namespace refl
