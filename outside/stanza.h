// Stanza configuration files and the loader of configuration items. A file
// holds stanzas, each a "[name]" line followed by "key = value" lines:
//
//   # comment (also "; comment")
//   [ldap]
//   enabled = yes
//   host = dir.example.com
//   replica = r1.example.com:389
//   replica = r2.example.com:389
//
// Stanza names and keys are matched ignoring ASCII case; values are the
// text after the first "=", without surrounding blanks. Keys a caller does
// not ask for are ignored, so one file can serve several components.
//
// config_item_load reads a file once and fills an array of items: a
// boolean ("yes", "no", "true", "false", "on", "off", "1", "0") or an
// integer into an int, a text into a ZUTF8String_6_0 (the last line of the
// key wins), a list of texts into a ZArrayList_6_0 (one element per line of
// the key, in file order, replacing what the list held).
//
// No shared state: calls may run on any thread at once, as long as they do
// not fill the same variables.
#pragma once

#include <string>

// Value types of an item.
constexpr int stz_boolean = 1;
constexpr int stz_integer = 2;
constexpr int stz_text = 3;
constexpr int stz_list = 4;

// Statuses of config_item_load (each also logged through gxcore_svc_handle,
// attribute 32, inserts "%s%d%s": the file, the line (0 for the whole file)
// and what is wrong).
constexpr unsigned long stz_s_file_unreadable = 0x1354A0D0;  // missing or unreadable file
constexpr unsigned long stz_s_bad_line = 0x1354A0D1;         // neither a stanza, a key = value, a comment nor blank
constexpr unsigned long stz_s_bad_value = 0x1354A0D2;        // a value of the wrong type for its item
constexpr unsigned long stz_s_missing_item = 0x1354A0D3;     // a required key is absent
constexpr unsigned long stz_s_bad_item = 0x1354A0D4;         // an item the caller described wrongly

// One configuration item.
struct ZStzFileItem_6_0 {
  char const* stanza;
  char const* key;
  int type;      // stz_boolean .. stz_list
  int required;  // nonzero: the file must hold the key
  void* value;   // int* (boolean, integer), ZUTF8String_6_0* (text), ZArrayList_6_0* (list)
  int absent;    // integers: the value taken when the key is absent; other types stay as they were
};

// Fills items[0 .. count-1] from file. Returns 0, or a status above; on
// failure no variable is changed and message (when given) names the file,
// the line and what is wrong. flags is reserved (pass 0).
unsigned long config_item_load(char const* file, ZStzFileItem_6_0* items, int count, int flags);
unsigned long config_item_load(char const* file, ZStzFileItem_6_0* items, int count, int flags,
                               std::string& message);

// True when file can be read, is a valid stanza file and has the stanza.
bool config_has_stanza(char const* file, char const* stanza);
