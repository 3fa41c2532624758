// The date and time of the interval fields and of the lists, in the three formats of TIMEFORMAT:
//
//   format  field text (mask "0" = digit)    label in the main dialog     list text
//   0       MM.DD.YYYY hh:mm:ss               "MM.DD.YYYY hour:min:sec"    MM.DD.YYYY hh:mm:ss
//   1       YYYY.DDD hh:mm:ss                 "YYYY.DDD-hour:min:sec"      YYYY.DDD-hh:mm:ss
//   2       hh:mm:ss DD/MM/YYYY               "hour:min:sec DD/MM/YYYY"    hh:mm:ss DD.MM.YYYY
//
// All times are UTC. A field's text is read back with scan patterns that also accept blanks and
// commas between the numbers, and a text from which not every number can be read is refused.
#pragma once

#include <string>

inline constexpr int kTimeFormatCount = 3;

struct GLEANER_FIELD_TIME {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// Mask, template and label of a format; formats outside 0..2 are treated as 0.
const char* gleanerFieldMask(int format);
const char* gleanerFieldTemplate(int format);
const char* gleanerFieldLabel(int format);

// The text a field shows for a time.
std::string gleanerFieldText(int format, const GLEANER_FIELD_TIME& t);
// Reads a field's text. False when not all numbers could be read. In format 1 the day of year is
// turned into month and day; a day of year past the year's end gives month 13.
bool gleanerParseFieldText(int format, const std::string& text, GLEANER_FIELD_TIME* t);
// True when the values are a possible date and time (a day of 0 passes).
bool gleanerCheckFieldTime(const GLEANER_FIELD_TIME& t);
// Parse and check together: the field's dialog data exchange.
bool gleanerReadField(int format, const std::string& text, GLEANER_FIELD_TIME* t);

// Seconds since 1970 of field values (negative before 1970).
double gleanerFieldToEpoch(const GLEANER_FIELD_TIME& t);
// The field values of a time: rounded to the nearest millisecond, whole seconds kept.
GLEANER_FIELD_TIME gleanerSplitTime(double epochSeconds);
// A time as the channel list and the Results dialog show it.
std::string gleanerListTime(int format, double epochSeconds);

// The message and title of a refused field (shown in Unicode).
inline constexpr const char* kWrongTimeText = "Введено ошибочное время";
inline constexpr const char* kWrongTimeTitle = "Ошибка";
