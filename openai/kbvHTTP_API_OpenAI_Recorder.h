// The microphone recorder behind the audio endpoints: a WAV file of 16-bit
// mono PCM at 16 kHz, captured over ALSA.
#pragma once

#include <cstdint>
#include <string>

// Records about ATime milliseconds of 16-bit PCM from the ALSA capture
// device ADevice ("default" normally) into the WAV file AFileName.
//
// The file is created owner-only (0600), or truncated when it exists; its
// size is 44 + ATime * 32 bytes. Raises Exception with a fixed message the
// callers rely on: "MCI error. No microphone connected to the computer?"
// when the device cannot be opened, configured or read, "MCI error" when the
// file cannot be created or written. On failure a file this call created is
// removed, one that existed is left empty.
void kbvRecordAudio(const std::string& ADevice, const std::string& AFileName, uint32_t ATime);
