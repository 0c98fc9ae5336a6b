// SPDX-License-Identifier: MIT
// wardctl status: what both renderings (the table and the Prometheus text)
// read from the reply, and how they hold its numbers within bounds. Only the
// renderings include this.
#pragma once

#include <cmath>
#include <string>

#include "wardstatus.h"

// The number called key of an object, otherwise when it has none.
double Number(const JsonValue &object, const char *key, double otherwise = NAN);
// The text called key, "" when there is none.
std::string Text(const JsonValue &object, const char *key);
// Whether the member called key is true.
bool Flag(const JsonValue &object, const char *key);
// The reply's process entries, nullptr when it has none (a busy table).
const JsonValue *Processes(const JsonValue &reply);

// The reply may hold any number (1e300, or 1e999 read as infinity): those
// shown or converted are first held within this bound, so that a conversion
// to an integer is defined and every text fits its buffer. Integers this
// large are still exact in a double.
constexpr double kNumberLimit = 1e15;

double Clamped(double value);
// A number as a whole one, bounded ("0" for NaN).
std::string Whole(double value);
