// control.json ($XDG_CONFIG_HOME/kestrix/control.json): the user's (or an
// administrator's) settings for the control, read afresh where they apply.
#pragma once

#include <json/json.h>

// The whole file as an object; {} when it is missing, unreadable, larger than
// 1 MiB or not a JSON object (every setting then has its default).
Json::Value ReadControlJson();
