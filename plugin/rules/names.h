#pragma once
// The naming rules that the plugin and north-run share: which bytes a name may
// hold, how names fold, and which table a reading goes to.
#include <string>

class Reading;

// Name of the datapoint that carries per-reading instructions (a JSON
// object); it chooses the table and is never a column.
extern const std::string AWS_REDSHIFT_HINT;

namespace names {

// Letters, digits and the underscore stay as they are in a name.
bool isNameByte(char c);
// What a name the server folded holds: lower-case letters, digits and '_'.
bool isFoldedNameByte(char c);
// ASCII letters to lower case, every other byte unchanged: how the database
// folds an unquoted name.
std::string folded(std::string name);
// ASCII letters to upper case, every other byte unchanged.
std::string upperCased(std::string name);
// Every byte outside [A-Za-z0-9_] becomes '_', one per byte; a leading digit
// gets "X_" in front. Changes its argument; applying it twice changes nothing.
void makeValid(std::string& name);
// The "tablename" of the reading's hint datapoint, else its asset name, made
// valid (letter case kept, as log lines show it).
std::string tableFor(const Reading& reading);

}  // namespace names
