// AAC helpers: conversion between the 7-byte ADTS header and the AAC audio
// specific configuration carried in FLV's AAC sequence header, and the
// folders in which session recordings and the player's cache live.
#pragma once

// Builds the audio specific configuration from an ADTS header. *configLen
// must be at least 5 on entry; it is set to 2 (plain AAC LC configuration,
// ADTS ID bit clear) or 5 (AAC LC followed by the explicit SBR extension,
// ID bit set). The object type written is always 2 (AAC LC).
// Returns 1 on success, 0 on a null pointer, a short header, a channel
// configuration of 7 or a reserved sampling frequency index (13 to 15).
int GetAACConfigureFromAdts(const char* adts, unsigned adtsLen, char* config, unsigned* configLen);

// Builds a 7-byte ADTS header (no CRC) for a raw AAC frame of payloadLen bytes
// from the first two bytes of an audio specific configuration. objectType 2
// gives an MPEG-4 AAC LC header (*adtsLen left as given), 5 an MPEG-2 header
// flagged for SBR (*adtsLen set to 7). *adtsLen must be at least 7 on entry.
// Returns 1 on success, 0 on a null pointer, a short buffer, another object
// type, or a frame (payloadLen + 7) too long for ADTS's 13-bit length field.
int GetAdtsFromDecInfo(char* adts, int* adtsLen, const unsigned char* config, int objectType,
                       unsigned payloadLen);

// The record home (cache 0) or the player's cache home (cache non-zero), with
// a trailing '/'. Each is resolved once per process (thread-safe) and the
// text stays valid for the life of the process.
//   record home: configuration value general/recordpath, else
//                $QX_RECORD_HOME, else $HOME/.
//   cache home:  <program folder>/cache/recordplay/ (created), else
//                $QX_CACHE_HOME, else $XDG_CACHE_HOME/orvix/Tolvane/recordplay/
//                (else ~/.cache/orvix/Tolvane/recordplay/, created), else $HOME/.
// Empty values count as missing.
const char* GetRPHome(int cache);
