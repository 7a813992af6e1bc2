package org.morvik.client;

import java.nio.charset.StandardCharsets;
import java.util.List;
import java.util.Optional;

/**
 * What a failed command reports: the library routine that failed ({@code context}), the Windows
 * call that failed, Windows' error number and its message text. The text is empty when Windows has
 * none (the record then has three strings on the wire); when present it ends with CR LF.
 */
public record ErrorRecord(String context, String call, long number, String text) implements java.io.Serializable {

  /** The record a reply's strings carry, or empty when they are not one. */
  static Optional<ErrorRecord> parse(List<byte[]> strings) {
    if (strings.size() != 3 && strings.size() != 4) return Optional.empty();
    final String number = new String(strings.get(2), StandardCharsets.UTF_8);
    // Decimal digits with an optional sign only: parseLong would take a leading '+' as well.
    if (!number.matches("-?[0-9]{1,19}")) return Optional.empty();
    final long parsed;
    try {
      parsed = Long.parseLong(number);
    } catch (NumberFormatException e) {
      return Optional.empty();
    }
    return Optional.of(new ErrorRecord(
        new String(strings.get(0), StandardCharsets.UTF_8),
        new String(strings.get(1), StandardCharsets.UTF_8),
        parsed,
        strings.size() == 4 ? new String(strings.get(3), StandardCharsets.UTF_8) : ""));
  }

  @Override
  public String toString() {
    return context + ": " + call + " failed with " + number + (text.isEmpty() ? "" : ": " + text.strip());
  }
}
