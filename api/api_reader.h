// Readers and parsers of the daemon's line protocol: lines of the response
// file, event lines on the event connection, and keyword values.
//
// A line ends with a newline that is never stored. A keyword is a word that
// begins and ends with "_"; its value is the following word, or the text
// between single quotes when it begins with one. All functions keep their
// state in their arguments; the event mode of tnperf_readln runs on one
// thread only (its trace line uses the non-reentrant time formatter).
#ifndef TNMIBD_API_API_READER_H_
#define TNMIBD_API_API_READER_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

class Tnperf_ConnectionElement;

// Size of the buffer event lines are read into: at most 1,023 characters.
enum { TNPERF_EVENT_LINE_SIZE = 1024 };
// tnperf_readlnSocket's result for a line too long for its buffer: the rest
// of the line has been read and thrown away, the stored text is cut.
enum { TNPERF_LINE_TOO_LONG = -2 };
// Consecutive failed receives tnperf_readlnSocket retries before it gives up
// on the connection (interrupted receives are not counted).
enum { TNPERF_RECEIVE_RETRIES = 100 };

// Number of newlines from the file's position to its end; the position is
// restored, so a last line without newline is not counted.
int tnperf_countLines(FILE* file);

// File mode (element null): reads one line into buffer and returns the last
// character read, 10 for a complete line or -1 at end of file (text before
// the end is still stored). At most bufferSize - 1 characters are stored;
// the rest of a longer line is skipped.
// Event mode (element given, open, with its eventCallback set): waits on the
// element's socket and the file at once; every event line on the socket goes
// to the callback (lines over 1,023 characters are dropped with a warning),
// and the call returns the file-mode result for a line on the file, or -1
// when the connection failed or hung up (the caller reconnects).
int tnperf_readln(FILE* file, char* buffer, Tnperf_ConnectionElement* element,
                  size_t bufferSize = SIZE_MAX);

// Takes one event line from the element (its buffer first, then its socket)
// into buffer of bufferSize bytes: 10 for a complete line, -1 at end of
// stream or after TNPERF_RECEIVE_RETRIES failed receives in a row (text so
// far terminated), TNPERF_LINE_TOO_LONG for a line of bufferSize or more
// characters (its rest is taken and dropped, the stored text is cut).
int tnperf_readlnSocket(Tnperf_ConnectionElement* element, char* buffer, size_t bufferSize);

// Line handler for the response file: writes "line\n" to the FILE* in data;
// 1 when the line is exactly "_response_ end", else 0.
int tnperf_blastLineToFile(char* line, void* data);

// First non-whitespace character of text (maybe its terminator).
char* tnperf_findBlackSpace(const char* text);
// First whitespace character of text, or its terminator.
char* tnperf_findWhiteSpace(const char* text);

// Copies the value after keyword in line into value and returns value, or
// null (value untouched) when the keyword is absent. atStart nonzero matches
// "keyword " anywhere, also at the line's start; zero matches " keyword "
// (or a keyword that begins with a blank as it stands). At most
// valueSize - 1 characters are stored.
char* tnperf_grabKeywordValue(const char* line, const char* keyword, char* value,
                              unsigned char atStart, size_t valueSize = SIZE_MAX);

#endif  // TNMIBD_API_API_READER_H_
