// Rows of the caller's packed R, G, B(, A) bytes to the module's A, R, G, B
// worlds and back: alpha 255 where the caller has none (as the tool reads an
// RGB file), kept only where the caller has it on the way back. A row goes
// into the render's input and output worlds at once, each pixel read once and
// stored twice, so that the render need not copy one world into the other.
#pragma once

#include <cstdint>

namespace lfpython {

// The fastest of the versions below that the processor runs.
void RowToWorlds(const uint8_t* source, uint8_t* world, uint8_t* copy, int32_t width, int32_t channels);
void RowFromWorld(const uint8_t* world, uint8_t* destination, int32_t width, int32_t channels);

// One pixel at a time: what every version gives.
void RowToWorldsScalar(const uint8_t* source, uint8_t* world, uint8_t* copy, int32_t width, int32_t channels);
void RowFromWorldScalar(const uint8_t* world, uint8_t* destination, int32_t width, int32_t channels);

// Eight pixels a step with byte shuffles; only where the processor has AVX2.
bool HaveAvx2Rows();
void RowToWorldsAvx2(const uint8_t* source, uint8_t* world, uint8_t* copy, int32_t width, int32_t channels);
void RowFromWorldAvx2(const uint8_t* world, uint8_t* destination, int32_t width, int32_t channels);

}  // namespace lfpython
