"""Checks that set-up installs every external command the project's own files call.

The commands are read from what every make target would run (make's dry run, so variables, calls
and pattern rules are expanded as make expands them; a compiler named to CMake counts as called),
from .ci/run and scripts/*.sh, and from the literal command names in subprocess calls and
shutil.which() of the Python sources. Each one must be one of:
  - a file of the repository or of .venv (the Python packages set-up installs);
  - a command of a Debian package that scripts/setup.sh installs (`setup.sh --print-packages`);
  - a command of the base system: a package of priority required or important, or essential.
Every tool package set-up installs must in turn provide a command that something calls.
Exits with 1, naming each command or package that breaks a rule. Run after set-up
(`make check-setup`), so that the commands it installs can be traced to their packages;
--verbose lists every command found with what provides it.
"""

import os
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
VENV_BIN = ROOT / ".venv" / "bin"

# Commands that set-up calls only where they exist: sudo when it does not run as root.
OPTIONAL = {"sudo"}

# Shell keywords and builtins: never external commands.
SHELL_WORDS = {
    "if",
    "then",
    "elif",
    "else",
    "fi",
    "for",
    "while",
    "until",
    "do",
    "done",
    "case",
    "esac",
    "in",
    "function",
    "select",
    "time",
    "{",
    "}",
    "!",
    "[[",
    "]]",
    "cd",
    "echo",
    "printf",
    "test",
    "[",
    "exit",
    "return",
    "set",
    "shift",
    "source",
    ".",
    "local",
    "export",
    "readonly",
    "declare",
    "typeset",
    "unset",
    "read",
    "trap",
    "wait",
    "eval",
    "type",
    "hash",
    "true",
    "false",
    ":",
    "break",
    "continue",
    "let",
    "pushd",
    "popd",
    "umask",
    "ulimit",
    "getopts",
    "mapfile",
    "readarray",
    "builtin",
    "shopt",
    "kill",
}
# Words that may precede the command of a simple command.
KEYWORDS = {"do", "then", "else", "elif", "!", "time", "if", "while", "until", "{"}
# Words that run the command named after them (and their own options).
WRAPPERS = {"env", "exec", "sudo", "as_root", "apt_quiet", "nohup", "xargs", "command"}
REDIRECTIONS = {">", ">>", "<", ">&", "<&", "&>", ">|", "<>", "<<<"}
SEPARATORS = {"|", "||", "&&", ";", "&", "(", ")", "()", ";;", "|&"}
ASSIGNMENT = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*\+?=")
FUNCTION = re.compile(r"^\s*([A-Za-z_][A-Za-z0-9_]*)\s*\(\)\s*\{", re.MULTILINE)
SUBSTITUTION = re.compile(r"\$\(([^()]*)\)|`([^`]*)`")
HEREDOC = re.compile(r"<<-?\s*['\"]?(\w+)['\"]?")
# A CMake option naming a program the build runs: -DCMAKE_CXX_COMPILER=clang++-19.
CMAKE_PROGRAM = re.compile(r"^-DCMAKE_\w+_COMPILER(?::\w+)?=(.+)$")
PYTHON_CALLS = re.compile(r"""(?:shutil\.which|subprocess\.\w+)\(\s*\[?\s*["']([\w.+-]+)["']""")


def balanced(line):
    try:
        shlex.split(line, comments=True)
    except ValueError:
        return False
    return True


def logical_lines(text):
    """Yields the lines of shell text with continuations and multi-line quotes joined, comments
    and heredoc bodies dropped."""
    lines = iter(text.replace("\\\n", " ").splitlines())
    for line in lines:
        if line.lstrip().startswith("#"):
            continue
        heredoc = HEREDOC.search(line)
        if heredoc:
            for body in lines:
                if body.strip() == heredoc.group(1):
                    break
            line = line[: heredoc.start()]
        while not balanced(line):
            following = next(lines, None)
            if following is None:
                break
            line += "\n" + following
        yield line


def commands_of_line(line):
    """Yields the command words of one line of shell, command substitutions included."""
    while True:
        match = SUBSTITUTION.search(line)
        if not match:
            break
        yield from commands_of_line(match.group(1) or match.group(2) or "")
        line = line[: match.start()] + "_" + line[match.end() :]
    lexer = shlex.shlex(line, posix=True, punctuation_chars=True)
    lexer.whitespace_split = True
    try:
        tokens = list(lexer)
    except ValueError:  # an unbalanced quote: a fragment of a larger construct
        return
    at_start, skip_next, in_for, in_array = True, False, False, False
    previous = None
    for token in tokens:
        if in_array:
            in_array = token != ")"  # the words of an array assignment NAME=(...)
        elif skip_next:
            skip_next = False
        elif token == "(" and previous is not None and previous.endswith("="):
            in_array = True
        elif token in SEPARATORS:
            at_start, in_for = True, False
        elif program := CMAKE_PROGRAM.match(token):
            yield program.group(1)
        elif token in REDIRECTIONS:
            skip_next = True
        elif not at_start or in_for or token in KEYWORDS or token == "_" or ASSIGNMENT.match(token):
            pass
        elif token == "for":
            in_for = True
        elif previous == "command" and token in ("-v", "-V"):
            at_start = False  # `command -v x` asks whether x exists; it does not run it
        elif token in WRAPPERS or token.startswith("-"):
            pass
        else:
            yield token
            at_start = False
        previous = token


def makefile_commands():
    """Yields (place, command) for every recipe line of every phony target, as make would run it."""
    makefile = (ROOT / "Makefile").read_text()
    phony = re.search(r"^\.PHONY:(.*)$", makefile, re.MULTILINE).group(1).split()
    for target in phony:
        dry = subprocess.run(
            ["make", "--no-print-directory", "-n", "-B", target],
            cwd=ROOT,
            check=False,
            capture_output=True,
            text=True,
        )
        if dry.returncode != 0:
            sys.exit(f"check-setup: make -n {target} failed:\n{dry.stderr}")
        for line in logical_lines(dry.stdout):
            for command in commands_of_line(line):
                yield f"make {target}", command


def shell_sources():
    return [ROOT / ".ci" / "run", *sorted((ROOT / "scripts").glob("*.sh"))]


def shell_commands():
    for path in shell_sources():
        for line in logical_lines(path.read_text()):
            for command in commands_of_line(line):
                yield f"{path.relative_to(ROOT)}", command


def python_commands():
    for folder in ("tests", "bench", "examples", "scripts"):
        for path in sorted((ROOT / folder).rglob("*.py")):
            for match in PYTHON_CALLS.finditer(path.read_text()):
                yield str(path.relative_to(ROOT)), match.group(1)


def functions():
    names = set()
    for path in shell_sources():
        names.update(FUNCTION.findall(path.read_text()))
    return names


def owning_package(path):
    """Returns the Debian package that installed the file, or None."""
    candidates = [str(path), os.path.realpath(path)]
    for candidate in list(candidates):
        for merged, plain in (("/usr/bin/", "/bin/"), ("/usr/sbin/", "/sbin/")):
            if candidate.startswith(merged):
                candidates.append(plain + candidate[len(merged) :])
            elif candidate.startswith(plain):
                candidates.append(merged + candidate[len(plain) :])
    for candidate in candidates:
        found = subprocess.run(["dpkg", "-S", candidate], check=False, capture_output=True, text=True)
        if found.returncode == 0:
            return found.stdout.split(":")[0].split(",")[0].strip()
    return None


def is_base_package(package):
    fields = subprocess.run(
        ["dpkg-query", "-W", "-f=${Priority} ${Essential}", package], check=False, capture_output=True, text=True
    ).stdout.split()
    return bool(fields) and (fields[0] in ("required", "important") or fields[-1] == "yes")


def setup_packages():
    listing = subprocess.run(
        [str(ROOT / "scripts" / "setup.sh"), "--print-packages"], capture_output=True, text=True, check=True
    ).stdout
    groups = dict(line.split(":", 1) for line in listing.splitlines())
    return {name: words.split() for name, words in groups.items()}


def main():
    verbose = sys.argv[1:] == ["--verbose"]
    packages = setup_packages()
    installed = set(packages["tools"]) | set(packages["python"])
    skip = SHELL_WORDS | functions()
    search_path = os.pathsep.join([str(VENV_BIN), os.environ.get("PATH", ""), "/usr/games"])

    problems = []
    used_packages = set()
    seen = set()
    for place, command in [*makefile_commands(), *shell_commands(), *python_commands()]:
        if command in skip or command.startswith("$") or command in seen:
            continue
        seen.add(command)
        if "/" in command:
            path = Path(command) if Path(command).is_absolute() else ROOT / command
            if path.resolve().is_relative_to(ROOT) and not path.is_relative_to(ROOT / ".venv"):
                continue  # the project's own file
            if path.is_relative_to(ROOT / ".venv"):
                if not path.exists():
                    problems.append(f"{command} ({place}): .venv has no such file")
                continue
            found = str(path) if path.exists() else None
        else:
            found = shutil.which(command, path=search_path)
        if found is None:
            if command not in OPTIONAL:
                problems.append(f"{command} ({place}): not installed by scripts/setup.sh, and not on this machine")
            continue
        if Path(found).is_relative_to(VENV_BIN):
            if verbose:
                print(f"{command}: .venv ({place})")
            continue  # installed into .venv from requirements-dev.txt
        package = owning_package(found)
        if verbose:
            print(f"{command}: {package} ({place})")
        if package in installed:
            used_packages.add(package)
        elif (package is None or not is_base_package(package)) and command not in OPTIONAL:
            source = f"package {package}" if package else "no Debian package"
            problems.append(f"{command} ({place}): not installed by scripts/setup.sh ({found}, {source})")

    for package in packages["tools"]:
        if package not in used_packages:
            problems.append(f"{package}: scripts/setup.sh installs it, but nothing calls a command of it")

    for problem in problems:
        print(f"check-setup: {problem}", file=sys.stderr)
    if problems:
        return 1
    print(f"check-setup: all {len(seen)} commands are installed by set-up or part of the base system")
    return 0


if __name__ == "__main__":
    sys.exit(main())
