#pragma once

#include <atomic>

// Process-wide interface language: true for Chinese. Read from the settings at start, before any
// worker exists; the language switch inverts it just before the program restarts.
extern bool languageCN;

// True while the window has a camera open. Written by the window's thread, read by workers
// (the audio-module transfer checks it before every packet).
extern std::atomic<bool> g_bOpenCamera;
