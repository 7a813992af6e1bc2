package org.morvik.client;

import java.nio.ByteBuffer;
import java.nio.CharBuffer;
import java.nio.charset.CoderResult;
import java.nio.charset.CharsetEncoder;
import java.nio.charset.CodingErrorAction;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;

/**
 * One request: a command from 1 to 10 and its parameters, in the order given. A request with a
 * secret parameter (a password) can be sent once: its bytes are zeroed as soon as they are on
 * their way. Its {@code toString} names the keys, never a value.
 */
public final class Request {
  /** The highest command the server answers; it sends no reply at all for others. */
  public static final int LAST_COMMAND = 10;

  private final int command;
  private final List<byte[]> keys = new ArrayList<>();
  private final List<byte[]> values = new ArrayList<>();
  private boolean secret;
  private boolean spent;

  private Request(int command) {
    if (command < 1 || command > LAST_COMMAND) {
      // The server drops such a request without a reply: waiting for one would wait forever, and
      // a reply to the next request would be taken for it.
      throw new IllegalArgumentException("the server answers commands 1 to 10 only, not " + command);
    }
    this.command = command;
  }

  public static Request of(int command) {
    return new Request(command);
  }

  /** A request with the map's parameters, in the map's iteration order. */
  public static Request of(int command, Map<String, String> params) {
    final Request r = new Request(command);
    params.forEach(r::param);
    return r;
  }

  public Request param(String key, String value) {
    keys.add(key.getBytes(StandardCharsets.UTF_8));
    values.add(value.getBytes(StandardCharsets.UTF_8));
    return this;
  }

  /**
   * A parameter given as bytes: for the {@code filepath} of commands 3, 5 and 9, which Windows reads
   * in the machine's ANSI code page, not in UTF-8.
   */
  public Request param(String key, byte[] value) {
    keys.add(key.getBytes(StandardCharsets.UTF_8));
    values.add(value.clone());
    return this;
  }

  /** A secret parameter. The array is zeroed once encoded: pass a copy to keep the password. */
  public Request secret(String key, char[] value) {
    keys.add(key.getBytes(StandardCharsets.UTF_8));
    values.add(encodeSecret(value));
    secret = true;
    return this;
  }

  public int command() {
    return command;
  }

  /** The request's bytes as the wire carries them; a request with a secret gives them once. */
  synchronized byte[] encode() {
    if (spent) throw new IllegalStateException("a request with a password is sent only once");
    final byte[] out = Wire.encodeRequest(Wire.REQUEST, command, Wire.CLIENT_ID, Wire.SERVER_ID, keys, values);
    if (secret) {
      for (byte[] v : values) Arrays.fill(v, (byte) 0);
      spent = true;
    }
    return out;
  }

  /** Zeroes a secret's bytes when the request will not be sent after all. */
  synchronized void discard() {
    if (!secret) return;
    for (byte[] v : values) Arrays.fill(v, (byte) 0);
    spent = true;
  }

  private static byte[] encodeSecret(char[] value) {
    final CharsetEncoder encoder = StandardCharsets.UTF_8.newEncoder()
        .onMalformedInput(CodingErrorAction.REPLACE)
        .onUnmappableCharacter(CodingErrorAction.REPLACE);
    // Room for the worst case up front (3 bytes a UTF-16 unit), so that the encoder never grows
    // its buffer and leaves a copy of the password behind in the one it dropped.
    final ByteBuffer encoded = ByteBuffer.allocate(value.length * 3);
    try {
      final CoderResult result = encoder.encode(CharBuffer.wrap(value), encoded, true);
      if (result.isError() || encoder.flush(encoded).isError()) {
        throw new IllegalArgumentException("the password cannot be encoded as UTF-8");
      }
      final byte[] out = new byte[encoded.position()];
      encoded.flip().get(out);
      return out;
    } finally {
      Arrays.fill(encoded.array(), (byte) 0);
      Arrays.fill(value, '\0');
    }
  }

  @Override
  public String toString() {
    final List<String> names = new ArrayList<>();
    for (byte[] k : keys) names.add(new String(k, StandardCharsets.UTF_8));
    return "Request(command " + command + ", keys " + names + ")";
  }
}
