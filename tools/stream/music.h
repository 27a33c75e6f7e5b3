// Music under the display: sound files played in turn, in a loop, decoded by
// a thread of its own a few seconds ahead into a ring of 48 kHz stereo
// samples, from which the frame thread takes 800 samples a frame. Any file
// FFmpeg reads will do (MP3, FLAC, Ogg, WAV, AAC). A file that cannot be
// played when its turn comes (deleted, damaged) is skipped with a line, and
// the others play on; with none left the sound is silence.
#pragma once

#include <string>
#include <vector>

// Opens and decodes the start of every file. Returns false with a line naming
// the first file that cannot be played in error.
bool checkMusic(const std::vector<std::string>& files, std::string& error);

// Starts the music thread on files (kept by it). Returns false when it could
// not start.
bool startMusic(const std::vector<std::string>& files);

// Waits until half a second of music is ready, or ms have passed (the files
// cannot be played), so that the stream starts with its music.
void waitForMusic(int ms);

// Takes count samples per channel into left and right; what the ring cannot
// give (the decoder fell behind, or nothing plays) is silence. Frame thread only.
void takeMusic(float* left, float* right, int count);

// Samples of silence given in place of music so far: decoding fell behind or
// no file could be played.
long long musicShortfall();
