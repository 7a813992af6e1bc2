package org.morvik.client;

import java.util.ArrayList;
import java.util.List;

/** The bytes of the protocol: 32-byte headers of little-endian 32-bit integers, and the bodies. */
final class Wire {
  static final int HEADER = 32;
  static final int REQUEST = 1;
  static final int REPLY = 2;
  static final int TERMINATE = 3;
  /** The ids this client sends; the server swaps them in its reply. */
  static final int CLIENT_ID = 1;
  static final int SERVER_ID = 2;
  /** Replies are a few memory blocks at most: anything larger is a broken server. */
  static final int MAX_REPLY_BODY = 16 * 1024 * 1024;

  private Wire() {}

  static byte[] encodeRequest(int type, int command, int sender, int receiver, List<byte[]> keys, List<byte[]> values) {
    int bodyLength = 4;
    for (int i = 0; i < keys.size(); ++i) bodyLength += 8 + keys.get(i).length + values.get(i).length;
    final byte[] out = new byte[HEADER + bodyLength];
    putInt(out, 0, type);
    putInt(out, 4, command);
    putInt(out, 8, 0);
    putInt(out, 12, bodyLength);
    putInt(out, 16, sender);
    putInt(out, 20, receiver);
    int at = HEADER;
    putInt(out, at, keys.size());
    at += 4;
    for (int i = 0; i < keys.size(); ++i) {
      at = putString(out, at, keys.get(i));
      at = putString(out, at, values.get(i));
    }
    return out;
  }

  /** A terminate message: the server ends the session without a reply. */
  static byte[] encodeTerminate() {
    return encodeRequest(TERMINATE, 0, CLIENT_ID, SERVER_ID, List.of(), List.of());
  }

  static int getInt(byte[] b, int at) {
    return (b[at] & 0xFF) | (b[at + 1] & 0xFF) << 8 | (b[at + 2] & 0xFF) << 16 | (b[at + 3] & 0xFF) << 24;
  }

  /** The body length a reply header announces, after checking it is a reply header at all. */
  static int replyBodyLength(byte[] header) throws MorvikException {
    final int type = getInt(header, 0);
    final int command = getInt(header, 4);
    if (type != REPLY || command != 1) {
      throw new MorvikException("malformed reply: message type " + type + " and command " + command
          + " where a reply has 2 and 1");
    }
    final int length = getInt(header, 12);
    if (length < 0 || length > MAX_REPLY_BODY) {
      throw new MorvikException("malformed reply: it announces a body of " + length + " bytes");
    }
    return length;
  }

  /** A reply from its header and its body (as many bytes as the header announced). */
  static Reply decodeReply(byte[] header, byte[] body) throws MorvikException {
    final List<byte[]> strings = new ArrayList<>();
    if (body.length > 0) {
      if (body.length < 4) throw new MorvikException("malformed reply: a body of " + body.length + " bytes has no count");
      final int count = getInt(body, 0);
      if (count < 0) throw new MorvikException("malformed reply: a string count of " + count);
      int at = 4;
      for (int i = 0; i < count; ++i) {
        if (body.length - at < 4) throw new MorvikException("malformed reply: the body ends inside string " + i + " of " + count);
        final int n = getInt(body, at);
        at += 4;
        if (n < 0 || n > body.length - at) {
          throw new MorvikException("malformed reply: string " + i + " of " + n + " bytes runs past the body");
        }
        final byte[] s = new byte[n];
        System.arraycopy(body, at, s, 0, n);
        strings.add(s);
        at += n;
      }
      if (at != body.length) {
        throw new MorvikException("malformed reply: " + (body.length - at) + " bytes after the last of " + count + " strings");
      }
    }
    return new Reply(getInt(header, 8), getInt(header, 16), getInt(header, 20), strings);
  }

  private static void putInt(byte[] b, int at, int v) {
    b[at] = (byte) v;
    b[at + 1] = (byte) (v >>> 8);
    b[at + 2] = (byte) (v >>> 16);
    b[at + 3] = (byte) (v >>> 24);
  }

  private static int putString(byte[] b, int at, byte[] s) {
    putInt(b, at, s.length);
    System.arraycopy(s, 0, b, at + 4, s.length);
    return at + 4 + s.length;
  }
}
