// The charge plot: a charge log drawn by gnuplot.
#pragma once

#include <string>

// Draws the log into output (a PNG), or with scriptOnly writes the gnuplot
// script that draws it there instead. Prints a summary on standard output
// and any failure on standard error; returns the exit status.
int drawChargePlot(const std::string& log, const std::string& output, bool scriptOnly);

// Reads a whole file; false (errno set) when it cannot be read.
bool readWholeFile(const std::string& path, std::string* text);
