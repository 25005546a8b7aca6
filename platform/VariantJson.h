#pragma once

#include "Variant.h"

#include <QJsonValue>

#include <optional>

namespace morvane::platform {

// Variants as JSON, the form clients send and receive on the wire:
//   null NULL; {"vt":"empty"} EMPTY; an integer in the int32 range I4, any other number R8; true/false
//   BOOL; a string BSTR; {"vt":"date","value":"YYYY-MM-DDTHH:MM:SS.zzz"} DATE; {"vt":"bytes","value":
//   "<base64>"} a byte array; a JSON array an array of VARIANT; {"vt":"i4"|"r8"|"bool"|"bstr"|"date"|
//   "bytes"|"array"|"empty"|"null","value":...} always; {"vt":"packet","value":{...}} a data packet, its
//   JSON object as it stands.
// Decoding what encoding wrote gives the same variant back: an R8 that looks like an integer, and a date
// that the text form would not give back exactly, travel tagged (a date then as its number of days).
// An object (DISPATCH) cannot travel: it is written as {"vt":"dispatch"}, which does not decode.
QJsonValue variantToJson(const Variant& value);

// The variant form of the controller frames, which travel the same way with three differences: a date
// as its number of days, every R8 tagged, and an object as NULL (it cannot travel to a controller, and
// the call is not failed for it). The decoder reads both forms.
struct VariantJsonForm {
    bool datesAsDays = false;
    bool tagEveryDouble = false;
    bool objectsAsNull = false;
};
QJsonValue variantToJson(const Variant& value, const VariantJsonForm& form);
// nullopt with a one-line reason for JSON that is no variant.
std::optional<Variant> variantFromJson(const QJsonValue& json, QString* error = nullptr);

// The text form of an automation date, and back (nullopt for text of another form).
QString oleDateText(double oleDate);
std::optional<double> oleDateFromText(const QString& text);

} // namespace morvane::platform
