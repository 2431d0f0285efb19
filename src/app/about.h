// What the Linux tool says about itself when asked: --version and --help.
#pragma once

#include <string>
#include <vector>

// True when the arguments are exactly one of the two requests, with the text to
// print on stdout. Anything else (a request with other arguments, say) is an
// ordinary command line, which the run treats as before: an unknown word.
bool aboutRequest(const std::vector<std::string>& arguments, std::string& text);
