#pragma once

// Process-wide interface language: true for Chinese. Read from the settings at start, before any
// worker exists; the language switch inverts it just before the program restarts.
extern bool languageCN;
