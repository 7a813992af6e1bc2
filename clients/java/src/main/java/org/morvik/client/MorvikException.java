package org.morvik.client;

/**
 * What is not an answer: the server could not start, exited, cut a reply short, sent a malformed
 * one, or took longer than the timeout. A client that throws it for any of those has stopped its
 * server; a reply that is well-formed but does not fit the command (a server bug) leaves it running.
 */
public class MorvikException extends Exception {
  private static final long serialVersionUID = 1L;

  public MorvikException(String message) {
    super(message);
  }

  public MorvikException(String message, Throwable cause) {
    super(message, cause);
  }
}
