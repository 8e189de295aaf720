#pragma once

#include <string>
#include <string_view>

// Credentials never reach a log line: the value after a secret name (token, app_sign, sign,
// signature, key, Authorization, Cookie and their kin, compared case-insensitively) becomes
// "***", whether it appears as a JSON member ("token":"v"), a query parameter (?token=v&...),
// a header ("Authorization: Bearer v") or a labelled value ("token: v").

inline constexpr std::string_view kOrsaRedacted = "***";

// Writes text with its secret values masked to out and returns true; returns false, leaving
// out alone, when there is nothing to mask (the common case costs no copy).
bool orsaRedactSecrets(std::string_view text, std::string& out);

// text with its secret values masked.
std::string orsaRedacted(std::string_view text);

// Whether name (a JSON key, header or query parameter name) holds a secret.
bool orsaIsSecretName(std::string_view name);
