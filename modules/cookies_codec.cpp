// The codecs of kelvarn.cookies: cookie dates and percent-encoding, each
// native stand-in beside the guard that keeps it (see cookies_codec.hpp).
// Traceback entries of these paths are added by the module's own functions
// in cookies.cpp, whose file they name.
#include "cookies_codec.hpp"
#include "watch.hpp"

#include <datetime.h>

#include <array>
#include <climits>
#include <clocale>
#include <cstring>
#include <iterator>
#include <string_view>
#include <utility>

namespace kelvarn_cookies {

using kv::Ref;

// The codecs' own helpers; what cookies.cpp calls (cookies_codec.hpp) is
// defined between them, outside this unnamed namespace.
namespace {

kv::Name n_strftime("strftime");
kv::Name n_utcoffset("utcoffset");
kv::Name n_astimezone("astimezone");
kv::Name n_time("time");
kv::Name n_import("__import__");
kv::Name n_builtins("__builtins__");
kv::Name n_fromisoformat("fromisoformat");
kv::Name n_parseaddr("email._parseaddr");
kv::Name n_timezones("_timezones");
kv::Name n_struct_time("struct_time");
kv::Name n_replace("replace");
kv::Name n_quote("quote");
kv::Name n_unquote("unquote");
kv::Name n_parsedate("parsedate_to_datetime");
kv::Name n_date_pattern("%a, %d %b %Y %H:%M:%S GMT");

PyObject* time_module = nullptr;        // the time module whose strftime the C datetime type calls

// The native stand-ins for `quote`, `unquote`, `parsedate_to_datetime` and
// time.strftime hold while the module globals name the standard functions
// and nothing those read has changed (see watch.hpp).
kv::Guard quote_guard;
kv::Guard unquote_guard;
kv::Guard parsedate_guard;
kv::Guard strftime_guard;

// ---------------------------------------------------------------------------
// The stand-ins are armed only once a fixed table of inputs gives the same
// outcome through them as through the general path (see kv::Probe). Each
// input comes as bytes: text in UTF-8 (lone surrogates allowed), raw cookie
// bytes, date text, or an ISO date and time.

PyObject* probe_text(PyObject* input) {
    return PyUnicode_DecodeUTF8(PyBytes_AS_STRING(input), PyBytes_GET_SIZE(input), "surrogatepass");
}

// `call` on the input made into the object it takes.
template <PyObject* (*convert)(PyObject*), PyObject* (*call)(PyObject*)>
PyObject* probe_with(PyObject* input) {
    Ref arg = Ref::steal(convert(input));
    return arg ? call(arg.get()) : nullptr;
}

using namespace std::string_view_literals;

template <size_t N>
kv::Probe probe(const std::string_view (&inputs)[N], kv::ProbeCall standard, kv::ProbeCall stand_in) {
    return {inputs, N, standard, stand_in};
}

// Arming a stand-in for a standard function (quote, unquote,
// parsedate_to_datetime): it holds while the function bound under `name` is
// the standard library's own, gives the stand-in's outcomes on its probe
// table, and `also` is met. The probes run
// first: they build what the standard code fills in on first use (unquote's
// table of escapes), which is then watched like everything else.
void arm_function(kv::Guard& guard, PyObject* name, const char* module, const char* qualname,
                    const kv::Probe& probe, bool (*also)() = nullptr) {
    guard.reset();
    PyObject* f = PyDict_GetItemWithError(kv::module_dict, name);
    if (!f) {
        PyErr_Clear();
        return;
    }
    if (!kv::defined_in(f, module, qualname) || (also && !also()) || !probe.agrees()) return;
    guard.key(kv::module_dict, name);
    guard.reachable(f);
    guard.arm();
}

inline unsigned char ascii_lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

// Whole-text ASCII case-insensitive comparison with a lower-case literal.
bool equals_lower(const char* p, Py_ssize_t n, const char* lit) {
    Py_ssize_t m = Py_ssize_t(std::strlen(lit));
    if (n != m) return false;
    for (Py_ssize_t i = 0; i < n; i++)
        if (ascii_lower(static_cast<unsigned char>(p[i])) != static_cast<unsigned char>(lit[i])) return false;
    return true;
}

}  // namespace

int init_codecs() {
    // This unit's own pointer to the datetime C API (each unit has one).
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) return -1;
    }
    return 0;
}

namespace {

// ===========================================================================
// Cookie dates

// True when the process formats dates with the C locale's English names.
bool c_time_locale() {
    const char* l = std::setlocale(LC_TIME, nullptr);
    if (!l) return false;
    return std::strcmp(l, "C") == 0 || std::strcmp(l, "POSIX") == 0 || std::strcmp(l, "C.UTF-8") == 0 ||
           std::strcmp(l, "C.utf8") == 0;
}

const char weekday_names[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char month_names[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Day of the week of a proleptic Gregorian date, 0 for Sunday.
int weekday(int y, int m, int d) {
    static const int t[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (m < 3) y -= 1;
    return (y + y / 4 - y / 100 + y / 400 + t[m - 1] + d) % 7;
}

void put2(char* p, int v) {
    p[0] = char('0' + v / 10);
    p[1] = char('0' + v % 10);
}

// What strftime gives with the C locale for a four-digit year: 29 bytes.
PyObject* format_date_c(PyObject* dt) {
    int y = PyDateTime_GET_YEAR(dt), m = PyDateTime_GET_MONTH(dt), d = PyDateTime_GET_DAY(dt);
    char buf[29];
    std::memcpy(buf, weekday_names[weekday(y, m, d)], 3);
    buf[3] = ',';
    buf[4] = ' ';
    put2(buf + 5, d);
    buf[7] = ' ';
    std::memcpy(buf + 8, month_names[m - 1], 3);
    buf[11] = ' ';
    put2(buf + 12, y / 100);
    put2(buf + 14, y % 100);
    buf[16] = ' ';
    put2(buf + 17, PyDateTime_DATE_GET_HOUR(dt));
    buf[19] = ':';
    put2(buf + 20, PyDateTime_DATE_GET_MINUTE(dt));
    buf[22] = ':';
    put2(buf + 23, PyDateTime_DATE_GET_SECOND(dt));
    std::memcpy(buf + 25, " GMT", 4);
    return PyBytes_FromStringAndSize(buf, 29);
}

// text.encode()
PyObject* encode_text(PyObject* text) {
    if (PyUnicode_CheckExact(text)) return PyUnicode_AsUTF8String(text);
    return kv::call_method(text, n_encode);
}

// The strftime of the C datetime type imports time through the __import__
// of the builtins that the calling code's globals name under __builtins__
// (a module or a dict, read at each call as the import machinery reads it):
// only the builtins module's own __import__ is watched. Without a calling
// frame the import machinery takes the builtins module itself.
bool caller_builtins_original() {
    PyObject* globals = PyEval_GetGlobals();
    if (!globals) return true;
    if (!PyDict_CheckExact(globals)) return false;
    PyObject* b = PyDict_GetItemWithError(globals, n_builtins);
    if (!b) PyErr_Clear();
    return b && (b == kv::builtins || b == PyModule_GetDict(kv::builtins));
}

// True while `time.strftime`, which the strftime of the C datetime type
// imports and calls at each use, is the built-in the exec step found there.
// A module's class can be replaced without touching any dict, and each
// caller brings its own builtins: checked here.
bool original_time_strftime() {
    return strftime_guard.holds() && Py_IS_TYPE(time_module, &PyModule_Type) && caller_builtins_original();
}

// when.strftime(pattern).encode(), the general path of the date text.
PyObject* format_date_general(PyObject* when) {
    Ref text = Ref::steal(kv::call_method(when, n_strftime, n_date_pattern.obj));
    if (!text) return nullptr;
    return encode_text(text.get());
}

// The guard of format_date_c (arm_strftime below), armed by the exec step.
PyObject* probe_date(PyObject* input) {
    Ref text = Ref::steal(probe_text(input));
    if (!text) return nullptr;
    return kv::call_method(reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType), n_fromisoformat, text.get());
}

const std::string_view strftime_probes[] = {
    "2015-10-21 07:28:00.500000"sv, "1000-01-01 00:00:00"sv, "2024-02-29 12:00:00"sv, "9999-12-31 23:59:59"sv,
};

}  // namespace

// The C type's strftime finds time.strftime (and its timetuple() finds
// time.struct_time) through the import machinery: the caller's __import__,
// then sys.modules["time"], then the attribute. The
// built-in one (a function of the loaded time module) is recognised without
// importing anything; the fast date formatting holds while all three stay.
// The probe compares texts of the C locale's names: under another locale at
// load time the guard stays off.
int arm_strftime() {
    strftime_guard.reset();
    Ref time = Ref::steal(PyImport_GetModule(n_time));
    if (!time && PyErr_Occurred()) return -1;
    if (!time || !PyModule_CheckExact(time.get())) return 0;
    PyObject* f = PyDict_GetItemWithError(PyModule_GetDict(time.get()), n_strftime);
    if (!f && PyErr_Occurred()) return -1;
    if (!f || !PyCFunction_Check(f) || PyCFunction_GET_SELF(f) != time.get()) return 0;
    if (!c_time_locale() ||
        !probe(strftime_probes, probe_with<probe_date, format_date_general>, probe_with<probe_date, format_date_c>)
             .agrees())
        return 0;
    Py_XSETREF(time_module, Py_NewRef(time.get()));
    strftime_guard.key(PyImport_GetModuleDict(), n_time);
    strftime_guard.key(PyModule_GetDict(time.get()), n_strftime);
    strftime_guard.key(PyModule_GetDict(time.get()), n_struct_time);  // timetuple() builds one
    strftime_guard.key(PyModule_GetDict(kv::builtins), n_import);
    strftime_guard.arm();
    return 0;
}

// The date text of an instant: an aware value is first converted with its
// own astimezone(timezone.utc), then the (converted) value's own strftime
// formats it; a naive value is taken to be UTC already.
PyObject* to_format_impl(PyObject* value) {
    if (value == Py_None) return kv::none_attribute_error("strftime");
    Ref when;
    if (Py_IS_TYPE(value, datetime_type) && native_datetime) {
        // The interpreter's own type: no Python code runs for a naive value
        // or for a fixed-offset timezone, so their calls are made directly.
        PyObject* tz = PyDateTime_DATE_GET_TZINFO(value);
        if (tz == Py_None) {
            when = Ref::borrow(value);
        } else if (Py_IS_TYPE(tz, timezone_type)) {
            when = Ref::steal(kv::call_method(value, n_astimezone, utc_zone));
            if (!when) return nullptr;
        }
        if (when && Py_IS_TYPE(when.get(), datetime_type) && PyDateTime_GET_YEAR(when.get()) >= 1000 &&
            c_time_locale() && original_time_strftime())
            return format_date_c(when.get());
    }
    if (!when) {
        Ref offset = Ref::steal(kv::call_method(value, n_utcoffset));
        if (!offset) return nullptr;
        when = offset.get() == Py_None ? Ref::borrow(value)
                                       : Ref::steal(kv::call_method(value, n_astimezone, utc_zone));
        if (!when) return nullptr;
    }
    return format_date_general(when.get());
}

namespace {

// ---------------------------------------------------------------------------
// Date text read natively: the steps of the standard parsedate_to_datetime
// for ASCII text, with the same results and the same errors. Whatever they
// do not settle exactly (a number too long for 64 bits, a zone offset the
// timezone constructor refuses, a field outside the C int range) is handed
// back to the standard function itself.

enum class DateParse { ok, invalid, fallback };

struct DateFields {
    long long year, month, day, hour, minute, second;
};

struct Sv {
    const char* p = nullptr;
    Py_ssize_t n = 0;
    Py_ssize_t find(char c) const {
        const void* at = n ? std::memchr(p, c, size_t(n)) : nullptr;
        return at ? static_cast<const char*>(at) - p : -1;
    }
    bool ends_with(char c) const { return n > 0 && p[n - 1] == c; }
};

// The whitespace of str.split() within ASCII.
inline bool split_space(unsigned char c) { return (c >= 9 && c <= 13) || (c >= 28 && c <= 32); }

const char* const date_month_names[] = {"jan", "feb", "mar", "apr", "may", "jun", "jul", "aug",
                                        "sep", "oct", "nov", "dec", "january", "february", "march", "april",
                                        "may", "june", "july", "august", "september", "october", "november",
                                        "december"};
const char* const date_day_names[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
const struct {
    const char* name;
    int offset;
} date_zones[] = {{"ut", 0},     {"utc", 0},    {"gmt", 0},    {"z", 0},      {"ast", -400},
                  {"adt", -300}, {"est", -500}, {"edt", -400}, {"cst", -600}, {"cdt", -500},
                  {"mst", -700}, {"mdt", -600}, {"pst", -800}, {"pdt", -700}};

// 1 to 12 for a month name in any letter case, 0 otherwise.
int date_month(Sv s) {
    for (int i = 0; i < 24; i++)
        if (equals_lower(s.p, s.n, date_month_names[i])) return i % 12 + 1;
    return 0;
}

bool date_day(Sv s) {
    for (const char* d : date_day_names)
        if (equals_lower(s.p, s.n, d)) return true;
    return false;
}

// int(text) for ASCII text without whitespace: a sign, then digits with
// single underscores between them. More than 18 digits: fallback.
DateParse date_int(Sv s, long long* out) {
    Py_ssize_t i = 0;
    bool negative = false;
    if (s.n > 0 && (s.p[0] == '+' || s.p[0] == '-')) {
        negative = s.p[0] == '-';
        i = 1;
    }
    long long v = 0;
    int digits = 0;
    bool need_digit = true;
    for (; i < s.n; i++) {
        char c = s.p[i];
        if (c >= '0' && c <= '9') {
            if (++digits > 18) return DateParse::fallback;
            v = v * 10 + (c - '0');
            need_digit = false;
        } else if (c == '_' && !need_digit) {
            need_digit = true;
        } else {
            return DateParse::invalid;
        }
    }
    if (need_digit) return DateParse::invalid;
    *out = negative ? -v : v;
    return DateParse::ok;
}

// Pieces of `s` split at every `sep` (empty pieces kept); returns how many
// there are, storing at most `max` of them.
int split_at(Sv s, char sep, Sv* out, int max) {
    int count = 0;
    const char* p = s.p;
    const char* end = s.p + s.n;
    for (;;) {
        const void* at = p < end ? std::memchr(p, sep, size_t(end - p)) : nullptr;
        const char* stop = at ? static_cast<const char*>(at) : end;
        if (count < max) out[count] = {p, stop - p};
        count++;
        if (!at) return count;
        p = stop + 1;
    }
}

DateParse parse_date_ascii(const char* text, Py_ssize_t size, DateFields* f) {
    if (size == 0) return DateParse::invalid;
    // data = data.split(): the first tokens and their count (capped).
    constexpr int keep = 8;
    Sv data[keep];
    int len = 0;
    for (Py_ssize_t i = 0; i < size && len < keep;) {
        while (i < size && split_space(static_cast<unsigned char>(text[i]))) i++;
        if (i == size) break;
        Py_ssize_t start = i;
        while (i < size && !split_space(static_cast<unsigned char>(text[i]))) i++;
        data[len++] = {text + start, i - start};
    }
    if (len == 0) return DateParse::invalid;
    // A day name, or text up to a comma, is skipped.
    if (data[0].ends_with(',') || date_day(data[0])) {
        for (int i = 1; i < len; i++) data[i - 1] = data[i];
        len--;
    } else {
        const char* comma = nullptr;
        for (Py_ssize_t i = data[0].n; i-- > 0;)
            if (data[0].p[i] == ',') {
                comma = data[0].p + i;
                break;
            }
        if (comma) data[0] = {comma + 1, data[0].p + data[0].n - (comma + 1)};
    }
    // RFC 850 dates: day-month-year.
    if (len == 3) {
        Sv stuff[3];
        if (split_at(data[0], '-', stuff, 3) == 3) {
            data[4] = data[2];
            data[3] = data[1];
            data[0] = stuff[0];
            data[1] = stuff[1];
            data[2] = stuff[2];
            len = 5;
        }
    }
    if (len == 4) {
        Sv s = data[3];
        Py_ssize_t i = s.find('+');
        if (i == -1) i = s.find('-');
        if (i > 0) {
            data[3] = {s.p, i};
            data[4] = {s.p + i, s.n - i};
        } else {
            data[4] = {s.p + s.n, 0};  // no zone
        }
        len = 5;
    }
    if (len < 5) return DateParse::invalid;
    Sv dd = data[0], mm = data[1], yy = data[2], tm = data[3], tz = data[4];
    if (!dd.n || !mm.n || !yy.n) return DateParse::invalid;
    int month = date_month(mm);
    if (!month) {
        std::swap(dd, mm);
        month = date_month(mm);
        if (!month) return DateParse::invalid;
    }
    if (dd.ends_with(',')) dd.n--;
    if (yy.find(':') > 0) std::swap(yy, tm);
    if (!yy.n) return DateParse::fallback;  // not reached: the standard steps would index an empty text
    if (yy.ends_with(',')) {
        yy.n--;
        if (!yy.n) return DateParse::invalid;
    }
    if (!(yy.p[0] >= '0' && yy.p[0] <= '9')) std::swap(yy, tz);
    if (!tm.n) return DateParse::fallback;  // not reached, as above
    if (tm.ends_with(',')) tm.n--;
    Sv clock[3];
    Sv zero{"0", 1};
    int parts = split_at(tm, ':', clock, 3);
    if (parts == 2) {
        clock[2] = zero;
    } else if (parts != 3) {
        if (parts != 1 || tm.find('.') < 0) return DateParse::invalid;
        parts = split_at(tm, '.', clock, 3);
        if (parts == 2) clock[2] = zero;
        else if (parts != 3) return DateParse::invalid;
    }
    long long year, day, hour, minute, second;
    const Sv* texts[] = {&yy, &dd, &clock[0], &clock[1], &clock[2]};
    long long* values[] = {&year, &day, &hour, &minute, &second};
    for (int i = 0; i < 5; i++) {
        DateParse r = date_int(*texts[i], values[i]);
        if (r != DateParse::ok) return r;
    }
    if (year < 100) year += year > 68 ? 1900 : 2000;
    // The zone: a name, or a number whose "-0" form means none.
    bool zoned = false;
    long long offset = 0;
    bool named = false;
    for (const auto& z : date_zones)
        if (equals_lower(tz.p, tz.n, z.name)) {
            offset = z.offset;
            zoned = named = true;
            break;
        }
    if (!named) {
        DateParse r = date_int(tz, &offset);
        if (r == DateParse::fallback) return r;
        zoned = r == DateParse::ok && !(offset == 0 && tz.p[0] == '-');
    }
    if (zoned && offset) {
        long long magnitude = offset < 0 ? -offset : offset;
        if (magnitude > 1000000000000LL) return DateParse::fallback;
        long long seconds = (magnitude / 100) * 3600 + (magnitude % 100) * 60;
        // The timezone constructor refuses a day or more; its error is the
        // standard function's own.
        if (seconds >= 86400) return DateParse::fallback;
    }
    const long long fields[] = {year, month, day, hour, minute, second};
    for (long long v : fields)
        if (v < INT_MIN || v > INT_MAX) return DateParse::fallback;
    *f = {year, month, day, hour, minute, second};
    return DateParse::ok;
}

inline bool ascii_letter(char c) {
    unsigned char l = static_cast<unsigned char>(c) | 0x20;
    return l >= 'a' && l <= 'z';
}
inline bool ascii_digit(char c) { return c >= '0' && c <= '9'; }
inline int two_digits(const char* p) { return (p[0] - '0') * 10 + (p[1] - '0'); }

// The IMF-fixdate form that cookies carry, "Wed, 21 Oct 2015 07:28:00 GMT"
// (GMT in any letter case), read directly: the fields that the steps above
// settle for it. For such text they skip the first token (it ends in a
// comma, whatever its letters), find the month by name and take the four
// numbers as they stand; the year only is adjusted as there. False for
// anything else, which takes those steps.
bool fixdate(const char* p, Py_ssize_t n, DateFields* f) {
    if (n != 29 || p[3] != ',' || p[4] != ' ' || p[7] != ' ' || p[11] != ' ' || p[16] != ' ' || p[19] != ':' ||
        p[22] != ':' || p[25] != ' ' || !is_word(p + 26, 3, "gmt"))
        return false;
    static const int letters[] = {0, 1, 2, 8, 9, 10};
    static const int digits[] = {5, 6, 12, 13, 14, 15, 17, 18, 20, 21, 23, 24};
    for (int i : letters)
        if (!ascii_letter(p[i])) return false;
    for (int i : digits)
        if (!ascii_digit(p[i])) return false;
    // The three letters of the month, lower-cased, against the names.
    uint32_t key = uint32_t(p[8] | 0x20) << 16 | uint32_t(p[9] | 0x20) << 8 | uint32_t(p[10] | 0x20);
    long long month = 0;
    for (int i = 0; i < 12; i++) {
        const char* m = date_month_names[i];
        if (key == (uint32_t(m[0]) << 16 | uint32_t(m[1]) << 8 | uint32_t(m[2]))) {
            month = i + 1;
            break;
        }
    }
    if (!month) return false;
    long long year = two_digits(p + 12) * 100 + two_digits(p + 14);
    if (year < 100) year += year > 68 ? 1900 : 2000;
    *f = {year, month, two_digits(p + 5), two_digits(p + 17), two_digits(p + 20), two_digits(p + 23)};
    return true;
}

// The naive datetime of the fields (the constructor checks their ranges).
PyObject* naive_datetime(const DateFields& f) {
    return PyDateTimeAPI->DateTime_FromDateAndTime(int(f.year), int(f.month), int(f.day), int(f.hour),
                                                   int(f.minute), int(f.second), 0, Py_None,
                                                   PyDateTimeAPI->DateTimeType);
}

// The naive datetime that parsedate_to_datetime(text).replace(tzinfo=None)
// gives for ASCII text, or null with its error set; `*fallback` when the
// standard function must decide.
PyObject* date_from_ascii(const char* p, Py_ssize_t n, PyObject* text, bool* fallback) {
    DateFields f;
    *fallback = false;
    switch (parse_date_ascii(p, n, &f)) {
        case DateParse::ok: return naive_datetime(f);
        case DateParse::invalid: {
            Ref shown = text ? Ref::borrow(text) : Ref::steal(PyUnicode_DecodeASCII(p, n, nullptr));
            if (shown) PyErr_Format(PyExc_ValueError, "Invalid date value or format \"%U\"", shown.get());
            return nullptr;
        }
        case DateParse::fallback: break;
    }
    *fallback = true;
    return nullptr;
}

// True while the namespace's parsedate_to_datetime is the standard one, as
// it was loaded, and the dates it builds are the interpreter's own type.
bool native_dates() { return native_datetime && parsedate_guard.holds(); }

// parsedate_to_datetime(text).replace(tzinfo=None), checked as a datetime,
// through the parsedate_to_datetime the namespace holds now.
PyObject* from_text_general(PyObject* text) {
    Ref parse = Ref::steal(kv::lookup_global(n_parsedate));
    if (!parse) return nullptr;
    Ref parsed = Ref::steal(kv::call(parse.get(), text));
    if (!parsed) return nullptr;
    PyObject* argv[] = {parsed.get(), Py_None};
    Ref r = Ref::steal(PyObject_VectorcallMethod(n_replace, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                 kwnames_tzinfo));
    if (!r) return nullptr;
    if (!kv::check_instance(r.get(), datetime_type)) return nullptr;
    return r.release();
}

// parsedate_to_datetime(text).replace(tzinfo=None), checked as a datetime.
PyObject* from_text(PyObject* text) {
    if (PyUnicode_CheckExact(text) && PyUnicode_IS_ASCII(text) && native_dates()) {
        bool fallback;
        PyObject* r = date_from_ascii(static_cast<const char*>(PyUnicode_DATA(text)), PyUnicode_GET_LENGTH(text),
                                      text, &fallback);
        if (!fallback) return r;
    }
    return from_text_general(text);
}

bool ascii_bytes(const char* p, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; i++)
        if (static_cast<unsigned char>(p[i]) >= 0x80) return false;
    return true;
}

// The date of UTF-8 date bytes: read straight from ASCII bytes when the
// standard parser is in place (such bytes always decode), through the text
// otherwise.
// The native readers of date bytes: the fixed form first, then the general
// ASCII reader. *fallback is set when neither applies.
PyObject* native_from_bytes(const char* p, Py_ssize_t n, bool* fallback) {
    DateFields f;
    *fallback = false;
    if (fixdate(p, n, &f)) return naive_datetime(f);
    *fallback = true;
    return ascii_bytes(p, n) ? date_from_ascii(p, n, nullptr, fallback) : nullptr;
}

PyObject* parsedate_standard(PyObject* input) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(input), PyBytes_GET_SIZE(input), nullptr));
    return text ? from_text_general(text.get()) : nullptr;
}

// What from_bytes does for ASCII date text while its guard holds.
PyObject* parsedate_stand_in(PyObject* input) {
    bool fallback;
    PyObject* r = native_from_bytes(PyBytes_AS_STRING(input), PyBytes_GET_SIZE(input), &fallback);
    return fallback ? parsedate_standard(input) : r;
}

// Every month and day name, each form, and text that is refused. (The zone
// table is compared as a whole: standard_zone_table.)
const std::string_view parsedate_probes[] = {
    "Mon 05 Jan 2015 01:02:03 UT"sv, "Tue 03 Feb 2015 01:02:03 +0200"sv, "Wed, 04 Mar 2015 01:02:03 GMT"sv,
    "Thu 02 Apr 15 01:02 Z"sv, "Fri 01 May 69 01:02:03 -0000"sv, "Sat 06 Jun 2015 01.02.03 EST"sv,
    "Sun, 05 Jul 2015 01:02:03 PDT"sv, "Mon 03 Aug 2015 01:02:03 +2400"sv, "Wednesday, 21-Sep-15 07:28:00 GMT"sv,
    "Wed Oct 21 07:28:00 2015"sv, "21 November 2015 07:28:00 CEST"sv, "Tue, 01 Dec 2015 01:02:03 XYZ"sv,
    "Wed, 32 Oct 2015 07:28:00 GMT"sv, "Thu, 29 Feb 2024 23:59:59 GMT"sv, "Fri, 29 Feb 2023 07:28:00 GMT"sv,
    "soon"sv, ""sv,
};

// The native reader knows the zones of the standard table as it ships; with
// an entry added or changed before the module loaded, the standard function
// reads every date. (Changes made later are seen by the guard's watch of the
// table.)
bool standard_zone_table() {
    Ref module = Ref::steal(PyImport_GetModule(n_parseaddr));
    if (!module || !PyModule_CheckExact(module.get())) {
        PyErr_Clear();
        return false;
    }
    PyObject* zones = PyDict_GetItemWithError(PyModule_GetDict(module.get()), n_timezones);
    if (!zones || !PyDict_CheckExact(zones) || PyDict_GET_SIZE(zones) != Py_ssize_t(std::size(date_zones))) {
        PyErr_Clear();
        return false;
    }
    for (const auto& z : date_zones) {
        char name[8] = {};
        for (size_t i = 0; z.name[i] && i + 1 < sizeof name; i++) name[i] = char(z.name[i] - 32 * (z.name[i] >= 'a'));
        PyObject* offset = PyDict_GetItemString(zones, name);
        if (!offset || !PyLong_CheckExact(offset) || PyLong_AsLong(offset) != z.offset) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

}  // namespace

// The guard of the native date reader, armed by the exec step.
void arm_parsedate() {
    arm_function(parsedate_guard, n_parsedate, "email.utils", "parsedate_to_datetime",
                 probe(parsedate_probes, parsedate_standard, parsedate_stand_in), standard_zone_table);
}

PyObject* from_bytes(const char* p, Py_ssize_t n) {
    if (native_dates()) {
        bool fallback;
        PyObject* r = native_from_bytes(p, n, &fallback);
        if (!fallback) return r;
    }
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(p, n, nullptr));
    if (!text) return nullptr;
    return from_text(text.get());
}

PyObject* from_format_impl(PyObject* value) {
    if (value == Py_None) return kv::none_attribute_error("decode");
    if (PyBytes_CheckExact(value)) return from_bytes(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value));
    Ref text = Ref::steal(kv::call_method(value, n_decode));
    if (!text) return nullptr;
    return from_text(text.get());
}

namespace {

// ===========================================================================
// Percent-encoding

// Bytes that the standard quote() leaves as they are (with its default
// safe="/"): ASCII letters, digits, "_.-~" and "/".
struct SafeTable {
    bool safe[256] = {};
    constexpr SafeTable() {
        for (int c = 'a'; c <= 'z'; c++) safe[c] = true;
        for (int c = 'A'; c <= 'Z'; c++) safe[c] = true;
        for (int c = '0'; c <= '9'; c++) safe[c] = true;
        for (unsigned char c : {'_', '.', '-', '~', '/'}) safe[c] = true;
    }
};
constexpr SafeTable quote_safe;

// quote(s).encode() for an exact str with the standard quote().
PyObject* quote_str_native(PyObject* s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n == 0) return Py_NewRef(kv::empty_bytes);
    Ref utf8;
    const unsigned char* p;
    if (PyUnicode_IS_ASCII(s)) {
        p = static_cast<const unsigned char*>(PyUnicode_DATA(s));
    } else {
        utf8 = Ref::steal(PyUnicode_AsUTF8String(s));
        if (!utf8) return nullptr;
        p = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(utf8.get()));
        n = PyBytes_GET_SIZE(utf8.get());
    }
    Py_ssize_t unsafe = 0;
    for (Py_ssize_t i = 0; i < n; i++) unsafe += !quote_safe.safe[p[i]];
    if (unsafe == 0 && utf8) return utf8.release();
    if (unsafe == 0) return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p), n);
    return percent_escaped(p, n, unsafe, [](unsigned char c) { return quote_safe.safe[c]; });
}

// quote(obj).encode(), through the `quote` the namespace holds now.
PyObject* quote_encode_general(PyObject* obj) {
    Ref quote = Ref::steal(kv::lookup_global(n_quote));
    if (!quote) return nullptr;
    Ref text = Ref::steal(kv::call(quote.get(), obj));
    if (!text) return nullptr;
    return encode_text(text.get());
}

// Every code point up to U+00FF, as UTF-8.
constexpr auto latin1_text = [] {
    std::array<char, 128 + 2 * 128> a{};
    size_t k = 0;
    for (int c = 0; c < 256; c++) {
        if (c < 0x80) {
            a[k++] = char(c);
        } else {
            a[k++] = char(0xC0 | c >> 6);
            a[k++] = char(0x80 | (c & 0x3F));
        }
    }
    return a;
}();

const std::string_view quote_probes[] = {
    ""sv, {latin1_text.data(), latin1_text.size()}, "a/b~_.-Z9"sv, "caf\xc3\xa9 \xe2\x82\xac\xf0\x9f\x98\x80"sv,
    "\xed\xa0\x80"sv,  // a lone surrogate: UnicodeEncodeError
};

}  // namespace

// The guard of quote_str_native, armed by the exec step.
void arm_quote() {
    arm_function(quote_guard, n_quote, "urllib.parse", "quote",
                 probe(quote_probes, probe_with<probe_text, quote_encode_general>,
                       probe_with<probe_text, quote_str_native>));
}

// quote(obj).encode(), with `quote` as the namespace holds it now.
PyObject* quote_encode(PyObject* obj) {
    if (PyUnicode_CheckExact(obj) && quote_guard.holds()) return quote_str_native(obj);
    return quote_encode_general(obj);
}

namespace {

// unquote(raw.decode()) with the standard unquote(): UTF-8 strict decoding,
// then percent escapes decoded per maximal ASCII run as UTF-8 with
// replacement of invalid sequences; non-ASCII text is kept as it stands.
PyObject* decode_unquote_native(const char* p, Py_ssize_t n) {
    bool percent = false, ascii = true;
    for (Py_ssize_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        percent |= c == '%';
        ascii &= c < 0x80;
    }
    if (!percent) return PyUnicode_DecodeUTF8(p, n, nullptr);
    kv::Scratch buf(n);
    if (!buf.get()) return nullptr;
    if (ascii) {
        Py_ssize_t m = kv::percent_decode(p, n, buf.get());
        return PyUnicode_DecodeUTF8(buf.get(), m, "replace");
    }
    // Mixed text: validate as a whole first, as the strict decoding does.
    {
        Ref check = Ref::steal(PyUnicode_DecodeUTF8(p, n, nullptr));
        if (!check) return nullptr;
    }
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts) return nullptr;
    Py_ssize_t i = 0;
    while (i < n) {
        Py_ssize_t start = i;
        bool high = static_cast<unsigned char>(p[i]) >= 0x80;
        while (i < n && (static_cast<unsigned char>(p[i]) >= 0x80) == high) i++;
        Ref piece;
        if (high) {
            piece = Ref::steal(PyUnicode_DecodeUTF8(p + start, i - start, nullptr));
        } else {
            Py_ssize_t m = kv::percent_decode(p + start, i - start, buf.get());
            piece = Ref::steal(PyUnicode_DecodeUTF8(buf.get(), m, "replace"));
        }
        if (!piece || PyList_Append(parts.get(), piece.get()) < 0) return nullptr;
    }
    return PyUnicode_Join(kv::empty_str, parts.get());
}

// unquote(raw.decode()), through the `unquote` the namespace holds now.
PyObject* decode_unquote_general(const char* p, Py_ssize_t n) {
    Ref unquote = Ref::steal(kv::lookup_global(n_unquote));
    if (!unquote) return nullptr;
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(p, n, nullptr));
    if (!text) return nullptr;
    return kv::call(unquote.get(), text.get());
}

PyObject* unquote_standard(PyObject* input) {
    return decode_unquote_general(PyBytes_AS_STRING(input), PyBytes_GET_SIZE(input));
}

PyObject* unquote_stand_in(PyObject* input) {
    return decode_unquote_native(PyBytes_AS_STRING(input), PyBytes_GET_SIZE(input));
}

// Escapes that put every hex digit, in either case, first and last.
constexpr auto hex_escapes = [] {
    const char digits[] = "0123456789ABCDEFabcdef";
    std::array<char, 22 * 3> a{};
    for (int i = 0; i < 22; i++) {
        a[3 * i] = '%';
        a[3 * i + 1] = digits[i];
        a[3 * i + 2] = digits[21 - i];
    }
    return a;
}();

const std::string_view unquote_probes[] = {
    ""sv, "abc"sv, "a+b c"sv, {hex_escapes.data(), hex_escapes.size()}, "%"sv, "%4"sv, "%4g%zz%"sv, "%%41"sv,
    "%C3%A9%E2%82"sv, "%e2%82%ac%ff"sv, "caf\xc3\xa9%20%C3\xc3\xa9"sv,
    "\xff"sv,  // not UTF-8: UnicodeDecodeError
};

}  // namespace

// The guard of decode_unquote_native, armed by the exec step.
void arm_unquote() {
    arm_function(unquote_guard, n_unquote, "urllib.parse", "unquote",
                 probe(unquote_probes, unquote_standard, unquote_stand_in));
}

// unquote(raw.decode()), with `unquote` as the namespace holds it now.
PyObject* decode_unquote(const char* p, Py_ssize_t n) {
    if (unquote_guard.holds()) return decode_unquote_native(p, n);
    return decode_unquote_general(p, n);
}

}  // namespace kelvarn_cookies
