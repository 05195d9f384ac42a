// The options of `coilctl configure`.
#pragma once
#include <string>
#include <vector>

#include "coilctl.h"
#include "mira/core/cmmgr.h"

namespace coilctl {

inline constexpr int kDefaultInterval = 5;

// The coilServiceNode attributes of `configure VLAN [option value]...`
// (client "1", rowStatus createAndGo). False with the reason in *error.
bool configureAttrs(const Args& args, std::vector<mira::CmAttr>* attrs, std::string* error);
// The word of an action value ("3" -> "report-log"), or null.
const char* actionWord(const std::string& value);

}  // namespace coilctl
