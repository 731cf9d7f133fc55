// The pattern grammar, one type per rule, in the order of the rule tables: whitespace,
// keywords and constants; comparisons and object paths; observations, qualifiers and
// the pattern rule.
//
// Where this grammar departs from the plain table, it is to keep valid input and data:
// - WHITESPACE also takes real tabs, carriage returns and line feeds, so that patterns
//   spread over several lines parse;
// - a string constant is matched without implicit whitespace, so it keeps every
//   character between its quotes, and each backslash-t, -r, -n inside is an escape;
// - the time alphabet admits "." and "+", so fractional seconds and positive offsets
//   reach the timestamp conversion.
#pragma once

#include <tao/pegtl.hpp>

#include "parser/grammar_engine.hpp"

namespace quarnel::parser::grammar {

namespace pegtl = tao::pegtl;
using peg::BodyMode;
using peg::nested;
using peg::not_at;
using peg::opt;
using peg::plus;
using peg::seq;
using peg::sor;
using peg::star;
using pegtl::digit;
using pegtl::one;

template <Rule Id, typename Body>
using normal = peg::normal<Id, Body>;
template <Rule Id, typename Body>
using silent = peg::silent<Id, Body>;
template <Rule Id, typename Body>
using atomic = peg::atomic<Id, Body>;
template <Rule Id, typename Body>
using compound_atomic = peg::compound_atomic<Id, Body>;

// Rules named before their definition: the recursion through parentheses.
struct comparison_expression;
struct bool_op;
struct expression;

// Whitespace, keywords and constants.

struct WHITESPACE
    : peg::silent_in_mode<Rule::WHITESPACE, BodyMode::atomic,
                          sor<one<' ', '\t', '\r', '\n'>, TAO_PEGTL_STRING("\\t"),
                              TAO_PEGTL_STRING("\\r"), TAO_PEGTL_STRING("\\n")>> {};
struct QUOTE : silent<Rule::QUOTE, one<'\''>> {};
struct equal : normal<Rule::equal, one<'='>> {};
struct not_equal : normal<Rule::not_equal, TAO_PEGTL_STRING("!=")> {};
struct gt : normal<Rule::gt, one<'>'>> {};
struct lt : normal<Rule::lt, one<'<'>> {};
struct ge : normal<Rule::ge, TAO_PEGTL_STRING(">=")> {};
struct le : normal<Rule::le, TAO_PEGTL_STRING("<=")> {};
struct in : normal<Rule::in, TAO_PEGTL_STRING("IN")> {};
struct like : normal<Rule::like, TAO_PEGTL_STRING("LIKE")> {};
struct match : normal<Rule::match, TAO_PEGTL_STRING("MATCHES")> {};
struct issubset : normal<Rule::issubset, TAO_PEGTL_STRING("ISSUBSET")> {};
struct issuperset : normal<Rule::issuperset, TAO_PEGTL_STRING("ISSUPERSET")> {};
struct exists : normal<Rule::exists, TAO_PEGTL_STRING("EXISTS")> {};
struct and_ : normal<Rule::and_, TAO_PEGTL_STRING("AND")> {};
struct or_ : normal<Rule::or_, TAO_PEGTL_STRING("OR")> {};
struct not_ : normal<Rule::not_, TAO_PEGTL_STRING("NOT")> {};
struct followedby : normal<Rule::followedby, TAO_PEGTL_STRING("FOLLOWEDBY")> {};
struct bool_
    : compound_atomic<Rule::bool_, sor<TAO_PEGTL_STRING("true"), TAO_PEGTL_STRING("false")>> {};
struct hex : compound_atomic<Rule::hex, plus<pegtl::xdigit>> {};
struct hex_constant : silent<Rule::hex_constant, seq<one<'h'>, QUOTE, hex, QUOTE>> {};
struct bin : compound_atomic<Rule::bin, plus<sor<pegtl::alnum, one<'/', '+', '='>>>> {};
struct bin_constant : silent<Rule::bin_constant, seq<one<'b'>, QUOTE, bin, QUOTE>> {};
struct int_ : compound_atomic<Rule::int_, seq<opt<one<'-'>>, plus<digit>>> {};
struct pos_int : compound_atomic<Rule::pos_int, plus<digit>> {};
struct float_
    : compound_atomic<Rule::float_, seq<opt<one<'-'>>, plus<digit>, one<'.'>, plus<digit>>> {};
struct pos_float : compound_atomic<Rule::pos_float, seq<plus<digit>, one<'.'>, plus<digit>>> {};
struct string_escape : atomic<Rule::string_escape, seq<one<'\\'>, pegtl::utf8::any>> {};
struct string
    : compound_atomic<Rule::string, star<sor<string_escape, seq<not_at<QUOTE>, pegtl::utf8::any>>>> {};
struct string_constant
    : peg::silent_in_mode<Rule::string_constant, BodyMode::compound_atomic, seq<QUOTE, string, QUOTE>> {};
struct time : compound_atomic<Rule::time, plus<sor<pegtl::alnum, one<':', '-', '.', '+'>>>> {};
struct time_constant : silent<Rule::time_constant, seq<one<'t'>, QUOTE, time, QUOTE>> {};
struct value
    : normal<Rule::value, sor<string_constant, bool_, time_constant, bin_constant, hex_constant,
                              float_, int_>> {};
struct list : normal<Rule::list, seq<one<'('>, value, star<seq<one<','>, value>>, one<')'>>> {};

// Comparisons and object paths.

struct comparison;
struct comparison_normal;
struct comparison_exists;
struct comp_op;
struct path;
struct step;
struct object;
struct property;
struct index;

struct comparison_expression
    : silent<Rule::comparison_expression, seq<comparison, star<seq<bool_op, comparison>>>> {};
struct bool_op : silent<Rule::bool_op, sor<and_, or_>> {};
struct comparison
    : normal<Rule::comparison, sor<comparison_normal, comparison_exists,
                                   nested<one<'('>, comparison_expression, one<')'>>>> {};
struct comparison_normal
    : silent<Rule::comparison_normal, seq<path, opt<not_>, comp_op, sor<value, list>>> {};
struct comparison_exists : silent<Rule::comparison_exists, seq<exists, path>> {};
struct comp_op
    : silent<Rule::comp_op, sor<equal, not_equal, in, like, match, ge, gt, le, lt, issubset, issuperset>> {};
struct path : compound_atomic<Rule::path, seq<object, one<':'>, step, star<seq<one<'.'>, step>>>> {};
struct step : normal<Rule::step, seq<property, opt<seq<one<'['>, index, one<']'>>>>> {};
struct object : compound_atomic<Rule::object, plus<sor<pegtl::alnum, one<'-'>>>> {};
struct property
    : compound_atomic<Rule::property, sor<plus<sor<pegtl::alnum, one<'_'>>>,
                                          seq<one<'\''>, plus<sor<pegtl::alnum, one<'-', '.'>>>, one<'\''>>>> {};
struct index : compound_atomic<Rule::index, sor<one<'*'>, plus<digit>>> {};

// Observations, qualifiers and the pattern rule.

struct inner_expression;
struct obs_op;
struct observation;
struct observation_group;
struct qualifier;
struct within;
struct repeat;
struct interval;
struct EOI;

struct pattern : normal<Rule::pattern, seq<pegtl::bof, expression, EOI>> {};
struct expression : normal<Rule::expression, seq<inner_expression, star<seq<obs_op, inner_expression>>>> {};
struct inner_expression : silent<Rule::inner_expression, sor<observation_group, observation>> {};
struct obs_op : silent<Rule::obs_op, sor<and_, or_, followedby>> {};
struct observation
    : normal<Rule::observation, seq<nested<one<'['>, comparison_expression, one<']'>>, star<qualifier>>> {};
struct observation_group
    : normal<Rule::observation_group, seq<nested<one<'('>, expression, one<')'>>, star<qualifier>>> {};
struct qualifier : normal<Rule::qualifier, sor<within, repeat, interval>> {};
struct within
    : normal<Rule::within, seq<TAO_PEGTL_STRING("WITHIN"), sor<pos_float, pos_int>, TAO_PEGTL_STRING("SECONDS")>> {};
struct repeat : normal<Rule::repeat, seq<TAO_PEGTL_STRING("REPEATS"), pos_int, TAO_PEGTL_STRING("TIMES")>> {};
struct interval
    : normal<Rule::interval, seq<TAO_PEGTL_STRING("START"), time_constant, TAO_PEGTL_STRING("STOP"), time_constant>> {};
struct EOI : normal<Rule::EOI, pegtl::eof> {};

}  // namespace quarnel::parser::grammar
