package org.morvik.client;

import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Optional;

/**
 * One reply as it came off the wire: the command's result and its string list. What the result
 * means depends on the command; the typed methods of {@link MorvikCommands} say it.
 */
public final class Reply {
  private final int result;
  private final int senderId;
  private final int receiverId;
  private final List<byte[]> strings;

  Reply(int result, int senderId, int receiverId, List<byte[]> strings) {
    this.result = result;
    this.senderId = senderId;
    this.receiverId = receiverId;
    this.strings = Collections.unmodifiableList(new ArrayList<>(strings));
  }

  /** The command's result: 1 for success or yes, 0 or -1 otherwise. */
  public int result() {
    return result;
  }

  /** The reply's sender id: the request's receiver id. */
  public int senderId() {
    return senderId;
  }

  /** The reply's receiver id: the request's sender id. */
  public int receiverId() {
    return receiverId;
  }

  /** The strings as the wire carried them (copies). */
  public List<byte[]> stringBytes() {
    final List<byte[]> out = new ArrayList<>(strings.size());
    for (byte[] s : strings) out.add(s.clone());
    return out;
  }

  /**
   * The strings as text, decoded as UTF-8. Commands 7 and 8 answer in the ANSI code page: for
   * names outside ASCII, decode {@link #stringBytes()} in the machine's code page instead.
   */
  public List<String> strings() {
    final List<String> out = new ArrayList<>(strings.size());
    for (byte[] s : strings) out.add(new String(s, StandardCharsets.UTF_8));
    return out;
  }

  /** The error record, when the result is not 1 and the strings are one. */
  public Optional<ErrorRecord> error() {
    return result == 1 ? Optional.empty() : ErrorRecord.parse(strings);
  }

  List<byte[]> rawStrings() {
    return strings;
  }

  @Override
  public String toString() {
    return "Reply(result " + result + ", " + strings() + ")";
  }
}
