"""The launcher's main job, end to end on this machine: a local HTTPS server
with a sample applets folder, a stand-in Java runtime registered in the
project's Wine prefix, and kovrel.exe run with a kovrel:// link to the server.
Run it twice: the second run finds everything up to date."""
import os
import pwd
import shutil
import subprocess
import sys
import time
import uuid
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
from tests.support.server import LocalServer  # noqa: E402

BUILD = ROOT / "build"
PREFIX = Path(os.environ["WINEPREFIX"])
TEMP = PREFIX / "drive_c" / "users" / pwd.getpwuid(os.getuid()).pw_name / "Temp"
DEMO = BUILD / "demo"
JAVA_HOME = PREFIX / "drive_c" / "KovrelDemo" / "Java"
RECORD = PREFIX / "drive_c" / "KovrelDemo" / "client-record.txt"
OUTPUT = DEMO / "client-output.txt"
JRE_KEY = r"HKLM\SOFTWARE\JavaSoft\Java Runtime Environment"


def sample_jar():
    """Marvique.jar, made once so that its version token stays the same."""
    jar = DEMO / "Marvique.jar"
    if jar.exists():
        return jar
    DEMO.mkdir(parents=True, exist_ok=True)
    if shutil.which("javac") and shutil.which("jar"):
        classes = DEMO / "classes"
        subprocess.run(["javac", "-d", str(classes), str(ROOT / "demo" / "Client.java")], check=True)
        subprocess.run(["jar", "cfe", str(jar), "Client", "-C", str(classes), "."], check=True)
    else:
        with zipfile.ZipFile(jar, "w") as z:
            z.writestr("META-INF/MANIFEST.MF", "Manifest-Version: 1.0\r\nMain-Class: Client\r\n\r\n")
            z.writestr("README.txt", "Sample client (no Java compiler on this machine).\n")
    return jar


def register_java():
    """A stand-in javaw.exe/java.exe under C:\\KovrelDemo\\Java, in the 32-bit registry view."""
    (JAVA_HOME / "bin").mkdir(parents=True, exist_ok=True)
    for name in ("javaw.exe", "java.exe"):
        shutil.copyfile(BUILD / "tests" / "standin_java.exe", JAVA_HOME / "bin" / name)
    for key, name, data in ((JRE_KEY, "CurrentVersion", "1.8"),
                            (JRE_KEY + r"\1.8", "JavaHome", r"C:\KovrelDemo\Java")):
        subprocess.run(["wine", "reg", "add", key, "/v", name, "/d", data, "/f", "/reg:32"],
                       cwd=DEMO, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def client_env():
    """The stand-in records how it was started; with a Java of this machine it also runs the jar."""
    # The client command names the bare javaw.exe, which cmd.exe looks for on
    # the search path, as a Java installation puts it there.
    env = dict(os.environ, KOVREL_STANDIN_RECORD=r"C:\KovrelDemo\client-record.txt",
               WINEPATH=r"C:\KovrelDemo\Java\bin")
    env.pop("KOVREL_DEBUG", None)
    java = shutil.which("java")
    if java:
        script = DEMO / "run-java.sh"
        script.write_text(f'#!/bin/sh\nexec "{java}" "$@" > "{OUTPUT}" 2>&1\n')
        script.chmod(0o755)
        env["KOVREL_STANDIN_EXEC"] = "Z:" + str(script).replace("/", "\\")
    return env, java


def wait_for(path, seconds=20):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if path.exists() and path.stat().st_size:
            return True
        time.sleep(0.2)
    return False


def section(title):
    print(f"\n===== {title} " + "=" * max(0, 60 - len(title)))


def main():
    jar = sample_jar()
    register_java()
    env, java = client_env()
    RECORD.unlink(missing_ok=True)
    OUTPUT.unlink(missing_ok=True)
    log = TEMP / "Kovrel.log"
    log_start = log.stat().st_size if log.exists() else 0

    with LocalServer(http=False) as server:
        server.put("Marvique.jar", jar.read_bytes())
        # The manifest as a server operator makes it.
        server.put("fcompare.ini", subprocess.run(
            [str(BUILD / "native" / "kovrel-manifest"), "write", str(server.applets), "--jre", "1.8.0"],
            check=True, stdout=subprocess.PIPE).stdout)
        link = f"kovrel://{server.https_base}kovrel/servlet/Launch?{uuid.uuid4()}?demo"
        print(f"Server: {server.https_base} (self-signed HTTPS)")
        print(f"Link:   {link}")
        run = subprocess.run(["wine", str(BUILD / "kovrel.exe"), link], env=env,
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        started = wait_for(RECORD) and (not java or wait_for(OUTPUT))
        fetched = [r.path for r in server.requests]

    section("Log of this run (Kovrel.log)")
    with open(log, "rb") as f:
        f.seek(log_start)
        print(f.read().decode("latin-1").replace("\r\n", "\n"), end="")
    section("Requests the server received")
    for path in fetched:
        print("GET", path)
    section("Work folder " + str(TEMP / "KovrelDocs" / "librun"))
    for entry in sorted((TEMP / "KovrelDocs" / "librun").iterdir()):
        print(f"{entry.stat().st_size:>10}  {entry.name}")
    section("Client")
    if RECORD.exists():
        print("The command interpreter started the stand-in javaw.exe with:")
        print(RECORD.read_text().replace("\r\n", "\n"), end="")
    if java and OUTPUT.exists():
        print(f"\nIt handed the command to this machine's Java ({java}); the sample client printed:")
        print(OUTPUT.read_text(), end="")
    elif not java:
        print("(no Java on this machine: this is the command the client would have received)")
    print(f"\nkovrel.exe exit code: {run.returncode}" + ("" if started else " (the client did not report in)"))
    return 0 if run.returncode == 1 and started else 1


if __name__ == "__main__":
    sys.exit(main())
