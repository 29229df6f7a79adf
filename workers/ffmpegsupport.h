#pragma once

// Process-wide set-up of FFmpeg for the preview, and small helpers around its C interface.

#include <QString>

// Registers FFmpeg's capture devices (v4l2, lavfi) and its network support, and sends FFmpeg's own
// warnings and errors to this program's log (prefixed "FFmpeg:"; a line that repeats one of the
// last few lines of its thread is left out). Once per process; thread-safe.
void initFfmpeg();

// FFmpeg's text for an AVERROR code.
QString ffmpegErrorText(int error);
