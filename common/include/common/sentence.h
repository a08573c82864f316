// sentence.h — the receiver sentence checksum and the token search shared
// by the port driver, the control program and tmcview. No platform needed.
#ifndef TAVRINEL_COMMON_SENTENCE_H
#define TAVRINEL_COMMON_SENTENCE_H

#include <cstddef>

// Completes a sentence whose template ends in "*": writes the XOR of every
// byte between the leading "$" and the first "*" as two upper-case hex
// digits after the "*" and ends the text there. A text without "*" is left
// unchanged, and so is one whose buffer (capacity bytes, terminator
// included) has no room for the two digits and the terminator.
void ChecksumSentence(char *text, size_t capacity);

// Whether the length bytes at text are a whole sentence "$BODY*hh": BODY
// ends at the first "*", and hh, in either case, is the checksum
// ChecksumSentence writes for it; nothing follows hh.
bool SentenceChecksumValid(const char *text, size_t length);

// Smallest index i >= start below the length of text at which token occurs
// (byte-exact); -1 when there is none or start is not below the length.
int FindToken(int start, const char *text, const char *token);

#endif // TAVRINEL_COMMON_SENTENCE_H
