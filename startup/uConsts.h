// The three records of the signature-area parameter block and their constant
// tables: markers, value widths and key names.
#pragma once

namespace consts {

enum TDataType { dtCookie = 0, dtIdPartner = 1, dtIdTraffic = 2 };
inline constexpr int DataTypeCount = 3;

inline constexpr int MarkerLength = 14;  // characters
inline constexpr int LongWidth = 100;    // characters of a long-form value
inline constexpr int ShortWidth = 25;    // characters of a short-form value

inline constexpr const wchar_t* LongMarkers[DataTypeCount] = {L"{00868EBA702F}", L"{2E7E63583D84}", L"{C5EE17DC10A5}"};
inline constexpr const wchar_t* ShortMarkers[DataTypeCount] = {L"{B643FC899907}", L"{6E35020D2CCD}", L"{959C72553805}"};
inline constexpr const wchar_t* KeyNames[DataTypeCount] = {L"General.Cookie", L"General.PartnerId", L"General.TrafficId"};

}  // namespace consts

using consts::TDataType;
using consts::dtCookie;
using consts::dtIdPartner;
using consts::dtIdTraffic;
