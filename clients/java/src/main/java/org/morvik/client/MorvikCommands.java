package org.morvik.client;

import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.Objects;
import java.util.Optional;

/**
 * The ten commands, each with a method in which a negative answer and a failure never look alike:
 * a "no" is a return value ({@code false}, an empty {@code Optional}), a failure is a
 * {@link CommandFailedException} with Windows' error record, and what is not an answer at all is a
 * {@link MorvikException}. Passwords are taken as {@code char[]} and zeroed once encoded.
 */
public interface MorvikCommands {

  /** Sends one request and returns its reply as it came. */
  Reply request(Request request) throws MorvikException;

  /** Sends command 1 to 10 with these parameters, in the map's order. */
  default Reply request(int command, Map<String, String> params) throws MorvikException {
    return request(Request.of(command, params));
  }

  /** Command 1: the credentials are valid, or a {@link CommandFailedException} says why not (1326: wrong). */
  default void validate(String user, char[] password, String domain) throws MorvikException, CommandFailedException {
    Answers.done(1, request(logon(1, user, password, "domain", domain)));
  }

  /** Command 2: the user's enabled groups, {@code DOMAIN\name} or a bare name. */
  default List<String> groups(String user, char[] password, String domain) throws MorvikException, CommandFailedException {
    return Answers.list(2, request(logon(2, user, password, "domain", domain)));
  }

  /**
   * Command 3: connects to {@code \\server\share}. The connection belongs to the Windows logon
   * session, not to the server process, so any server of that session (any child of a pool)
   * serves a later {@link #disconnect}.
   */
  default void connect(String user, char[] password, String share) throws MorvikException, CommandFailedException {
    Answers.done(3, request(logon(3, user, password, "filepath", Objects.requireNonNull(share, "share"))));
  }

  /** Command 4: the accounts the file's ACL names with read rights, in ACL order. */
  default List<String> accessList(String path) throws MorvikException, CommandFailedException {
    return Answers.list(4, request(Request.of(4).param("filepath", path)));
  }

  /** Command 5: may the user read the file? {@code false} is a "no"; a step that failed throws. */
  default boolean canRead(String user, char[] password, String path) throws MorvikException, CommandFailedException {
    return Answers.yesNo(5, request(logon(5, user, password, "filepath", Objects.requireNonNull(path, "path"))));
  }

  /** Command 6: is the volume at this root (such as {@code C:\}) NTFS? */
  default boolean isNtfs(String root) throws MorvikException, CommandFailedException {
    return Answers.yesNo(6, request(Request.of(6).param("filepath", root)));
  }

  /** Command 7: the computer name. */
  default String computerName() throws MorvikException, CommandFailedException {
    return Answers.one(7, request(Request.of(7)));
  }

  /** Command 8: the domain the machine belongs to; empty on a workgroup machine. */
  default Optional<String> domainName() throws MorvikException, CommandFailedException {
    return Answers.oneOrNone(8, request(Request.of(8)));
  }

  /** Command 9: cancels a share connection (made by any server of this logon session). */
  default void disconnect(String share) throws MorvikException, CommandFailedException {
    Answers.done(9, request(Request.of(9).param("filepath", share)));
  }

  /** Command 10: is the drive at this root a mapped network drive? */
  default boolean isMappedDrive(String root) throws MorvikException, CommandFailedException {
    return Answers.yesNo(10, request(Request.of(10).param("filepath", root)));
  }

  /** user, password, then the third key if its value is given; the password is zeroed whatever happens. */
  private static Request logon(int command, String user, char[] password, String key, String value) {
    try {
      Objects.requireNonNull(user, "user");
      Objects.requireNonNull(password, "password");
      final Request r = Request.of(command).param("user", user).secret("password", password);
      return value == null ? r : r.param(key, value);
    } finally {
      if (password != null) Arrays.fill(password, '\0');
    }
  }
}
