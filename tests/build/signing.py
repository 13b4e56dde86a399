#!/usr/bin/env python3
"""Builds Sparlin.exe signed with a self-signed code-signing certificate, as a
PEM certificate and key, then in the same build directory with another one
in a PKCS#12 file with a password, then unsigned again; checks each time
that Sparlin.exe and the LZMA tool inside it carry the expected signature.
It builds from a copy of the sources at another path, so that the last,
unsigned build is also the second build that reproducible.py compares.

usage: signing.py <source dir> <work dir>"""
import os
import re
import shutil
import subprocess
import sys

import reproducible
import subbuild


def certificate(folder, name):
    """A self-signed code-signing certificate and its unencrypted key."""
    cert, key = os.path.join(folder, f"{name}.crt"), os.path.join(folder, f"{name}.key")
    subbuild.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "2",
                  "-subj", f"/CN={name}", "-keyout", key, "-out", cert,
                  "-addext", "basicConstraints=critical,CA:FALSE",
                  "-addext", "keyUsage=critical,digitalSignature",
                  "-addext", "extendedKeyUsage=codeSigning"])
    return cert, key


def verify(path, ca, signer, description=None):
    done = subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-in", path],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if done.returncode != 0 or "Signature verification: ok" not in done.stdout:
        print(done.stdout)
        subbuild.fail(f"{path} does not verify against {ca}")
    subjects = set(re.findall(r"Subject: (.*)", done.stdout))
    if subjects != {f"/CN={signer}"}:
        subbuild.fail(f"{path} is signed by {subjects}, expected /CN={signer}")
    if description and f"Text description: {description}\n" not in done.stdout:
        subbuild.fail(f"{path}: the signature does not name the program {description!r}")


def check_signed(exe, work, ca, signer, description=None):
    verify(exe, ca, signer, description)
    tool = os.path.join(work, "embedded-LZMA.exe")
    with open(tool, "wb") as out:
        out.write(subbuild.embedded_tool(open(exe, "rb").read()))
    verify(tool, ca, signer, description)
    print(f"{exe} and its LZMA tool signed by {signer}", flush=True)


def main(source, work):
    shutil.rmtree(work, ignore_errors=True)
    keys = os.path.join(work, "keys")
    os.makedirs(keys)
    binary = os.path.join(work, "build")
    checkout = os.path.join(work, "checkout")
    reproducible.copy_sources(source, checkout, work)
    source = checkout

    pem_cert, pem_key = certificate(keys, "Sparlin Test Signer PEM")
    exe = subbuild.build(source, binary, f"-DSPARLIN_SIGN_CERTIFICATE={pem_cert}", f"-DSPARLIN_SIGN_KEY={pem_key}",
                         "-DSPARLIN_SIGN_DESCRIPTION=KOVA Sparlin Test")
    check_signed(exe, work, pem_cert, "Sparlin Test Signer PEM", "KOVA Sparlin Test")

    # Another certificate in the same build directory: both files signed anew.
    p12_cert, p12_key = certificate(keys, "Sparlin Test Signer PKCS12")
    password = os.path.join(keys, "password.txt")
    with open(password, "w") as out:
        out.write("not a secret, only for this test\n")
    p12 = os.path.join(keys, "signer.p12")
    subbuild.run(["openssl", "pkcs12", "-export", "-in", p12_cert, "-inkey", p12_key, "-out", p12,
                  "-passout", f"file:{password}"])
    exe = subbuild.build(source, binary, f"-DSPARLIN_SIGN_CERTIFICATE={p12}", "-DSPARLIN_SIGN_KEY=",
                         "-DSPARLIN_SIGN_DESCRIPTION=", f"-DSPARLIN_SIGN_PASSWORD_FILE={password}", fresh=False)
    check_signed(exe, work, p12_cert, "Sparlin Test Signer PKCS12")

    # Settings removed: no signature is left behind on either file.
    exe = subbuild.build(source, binary, "-DSPARLIN_SIGN_CERTIFICATE=", "-DSPARLIN_SIGN_PASSWORD_FILE=", fresh=False)
    data = open(exe, "rb").read()
    if subbuild.security_directory(data) != (0, 0):
        subbuild.fail(f"{exe} still carries a signature")
    if subbuild.security_directory(subbuild.embedded_tool(data)) != (0, 0):
        subbuild.fail(f"the LZMA tool in {exe} still carries a signature")
    print(f"{exe} unsigned again")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
