package org.morvik.client;

/**
 * A command's answer that it failed, with Windows' error record: for instance a logon refused with
 * 1326, or a file whose security cannot be read. The server goes on serving.
 */
public class CommandFailedException extends Exception {
  private static final long serialVersionUID = 1L;
  private final int command;
  private final int result;
  private final ErrorRecord error;

  public CommandFailedException(int command, int result, ErrorRecord error) {
    super("command " + command + " failed: " + error);
    this.command = command;
    this.result = result;
    this.error = error;
  }

  public int command() {
    return command;
  }

  /** The reply's result: 0, or -1 for commands 7 and 8. */
  public int result() {
    return result;
  }

  public ErrorRecord error() {
    return error;
  }
}
