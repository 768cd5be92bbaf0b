// The daemon's answers: one command line in, the record lines of the answer
// out, built from the model with the keywords of sim/schema.h. Every answer,
// an error included, ends with the end line.
#ifndef TNMIBD_SIM_ANSWERS_H_
#define TNMIBD_SIM_ANSWERS_H_

#include <string>

#include "sim/model.h"

namespace sim {

// The line that ends every answer.
extern const char kEndLine[];

// Longest command line answered; a longer one gets an error answer.
enum { MAX_COMMAND_LENGTH = 10238 };

// Appends the answer to one command (its text without the newline; any
// bytes at all) to *out: each line with its newline, the end line last.
// Returns 0 for a command that was understood, 1 for an error answer.
int answerCommand(const Model& model, const std::string& command, std::string* out);

// Appends the error answer "_error_ _rc_ RC _msg_ '...'" and the end line to *out.
void answerError(int rc, const std::string& message, std::string* out);

// A command text made safe to show inside a quoted value: at most 80
// characters, quotes and bytes outside printable ASCII replaced.
std::string printable(const std::string& text);

}  // namespace sim

#endif  // TNMIBD_SIM_ANSWERS_H_
