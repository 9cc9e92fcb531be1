// Every line the tool prints about a run, made from the values the scan,
// the plan and the commit return: the one place each is worded. (The lines
// about the command line itself, its usage text, options and arguments, are
// worded where tool.cc reads them.)
#pragma once

#include <optional>
#include <string>

#include "image/context.h"
#include "udf/commit.h"
#include "udf/plan.h"
#include "udf/scan.h"

// "main sequence", "reserve sequence", "metadata mirror", or "" for the File
// Set Descriptor's own copy and the VAT.
const char* place_text(CopyPlace place);

// "NAME at block N" with " (PLACE)" where the copy has a place, and
// " (PLACE, session K)" or " (session K)" when a session is named.
std::string copy_name(CopyKind kind, uint32_t block, CopyPlace place, std::optional<uint32_t> session = std::nullopt);

// "Error opening file: PATH", or "... for writing: PATH" for a run that
// would change the image; "Image is in use: PATH" when another relabel holds
// it, and "... (mounted through DEVICE)" for a file mounted through a loop
// device.
std::string open_failure_message(const char* path, bool changing, const OpenRefusal& refusal = {});

// "Error reading file: PATH".
std::string read_failure_message(const char* path);

// After the problems of a plan that is not complete, when nothing is written.
extern const char* const kNothingWritten;

std::string scan_failure_message(ScanFailure failure, const char* path);

// "Damaged descriptor at block N left unchanged", "File Set Descriptor not
// found", "File Set Descriptor not found in session K", "Repaired
// descriptor at block N from block M", or the read failure's message.
std::string problem_message(const Problem& problem, const char* path);

// "NAME at block N (PLACE): IDENTIFIER", as the listing shows a planned copy
// (the session named inside the parentheses on a multi-session volume).
std::string listing_line(const PlanLine& line);

// "fseek to sector N failed!" or "fwrite to sector N failed, result=B!".
std::string write_failure_message(uint32_t block, const WriteOutcome& outcome);

// "Error writing file: PATH", when a sync to storage failed.
std::string sync_failure_message(const char* path);

// The last line of a relabel that wrote its whole plan.
extern const char* const kDone;

// "Session K of N at block S", before a session's copies in the report.
std::string session_heading(uint32_t number, size_t count, uint32_t start);

// Without -l or --json: more operands than an image and its label.
const char* too_many_arguments_message();

// Without -l or --json: the label operand names a file that exists.
std::string label_names_file_message(const char* label);

// "Out of memory", as a run that ran out of memory ends, and as an image of
// a list that did gets it for its error.
const char* out_of_memory_message();

// How the report names a field ("Owner", "Application", ...), and how a
// relabel's Changing line and listing name it ("owner", "Application
// Identifier", ..., "write protection").
const char* field_report_name(Field field);
const char* field_change_name(Field field);

// "Changing PATH NAME to 'TEXT'", for an identifier option, and "Changing
// PATH write protection to on" (or off).
std::string changing_field_message(const char* path, Field field, const std::string& text);
std::string changing_protection_message(const char* path, bool on);

// The refusals of identifier values: --fullvsid with the options that set
// the identifier's parts, --vsid on an identifier too short to keep a UUID,
// and an --appid or --impid value that is no entity identifier.
const char* whole_volume_set_refusal();
const char* short_volume_set_refusal();
std::string invalid_entity_identifier_message(const char* option, const char* value);

// Prints a message line (the text and a newline) to standard output.
void print_line(const std::string& text);
