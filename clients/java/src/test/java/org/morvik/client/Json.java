package org.morvik.client;

import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/** Just enough JSON for the golden vectors and machine files: objects, lists, strings, numbers, literals. */
final class Json {
  private final String text;
  private int at;

  private Json(String text) {
    this.text = text;
  }

  static Object parse(String text) {
    final Json p = new Json(text);
    final Object v = p.value();
    p.space();
    if (p.at != text.length()) throw p.error("trailing text");
    return v;
  }

  static String write(Object v) {
    final StringBuilder sb = new StringBuilder();
    write(v, sb);
    return sb.toString();
  }

  private static void write(Object v, StringBuilder sb) {
    if (v instanceof Map<?, ?> m) {
      sb.append('{');
      String sep = "";
      for (Map.Entry<?, ?> e : m.entrySet()) {
        sb.append(sep);
        write(e.getKey(), sb);
        sb.append(':');
        write(e.getValue(), sb);
        sep = ",";
      }
      sb.append('}');
    } else if (v instanceof List<?> l) {
      sb.append('[');
      String sep = "";
      for (Object x : l) {
        sb.append(sep);
        write(x, sb);
        sep = ",";
      }
      sb.append(']');
    } else if (v instanceof String s) {
      sb.append('"');
      for (char c : s.toCharArray()) {
        if (c == '"' || c == '\\') sb.append('\\').append(c);
        else if (c < 0x20) sb.append(String.format("\\u%04x", (int) c));
        else sb.append(c);
      }
      sb.append('"');
    } else {
      sb.append(v);
    }
  }

  private Object value() {
    space();
    if (at >= text.length()) throw error("unexpected end");
    final char c = text.charAt(at);
    if (c == '{') return object();
    if (c == '[') return list();
    if (c == '"') return string();
    for (String literal : new String[] {"true", "false", "null"}) {
      if (text.startsWith(literal, at)) {
        at += literal.length();
        return literal.equals("null") ? null : Boolean.valueOf(literal);
      }
    }
    final int start = at;
    while (at < text.length() && "+-0123456789.eE".indexOf(text.charAt(at)) >= 0) ++at;
    if (start == at) throw error("unexpected character");
    return Long.parseLong(text.substring(start, at));
  }

  private Map<String, Object> object() {
    final Map<String, Object> out = new LinkedHashMap<>();
    ++at;
    space();
    if (text.charAt(at) == '}') {
      ++at;
      return out;
    }
    for (;;) {
      space();
      final String key = string();
      space();
      expect(':');
      out.put(key, value());
      space();
      if (text.charAt(at) == '}') {
        ++at;
        return out;
      }
      expect(',');
    }
  }

  private List<Object> list() {
    final List<Object> out = new ArrayList<>();
    ++at;
    space();
    if (text.charAt(at) == ']') {
      ++at;
      return out;
    }
    for (;;) {
      out.add(value());
      space();
      if (text.charAt(at) == ']') {
        ++at;
        return out;
      }
      expect(',');
    }
  }

  private String string() {
    expect('"');
    final StringBuilder sb = new StringBuilder();
    for (;;) {
      final char c = text.charAt(at++);
      if (c == '"') return sb.toString();
      if (c != '\\') {
        sb.append(c);
        continue;
      }
      final char e = text.charAt(at++);
      switch (e) {
        case 'n' -> sb.append('\n');
        case 'r' -> sb.append('\r');
        case 't' -> sb.append('\t');
        case 'b' -> sb.append('\b');
        case 'f' -> sb.append('\f');
        case 'u' -> {
          sb.append((char) Integer.parseInt(text.substring(at, at + 4), 16));
          at += 4;
        }
        default -> sb.append(e);
      }
    }
  }

  private void expect(char c) {
    if (at >= text.length() || text.charAt(at) != c) throw error("expected " + c);
    ++at;
  }

  private void space() {
    while (at < text.length() && Character.isWhitespace(text.charAt(at))) ++at;
  }

  private IllegalArgumentException error(String what) {
    return new IllegalArgumentException("JSON at " + at + ": " + what);
  }
}
