"""The signed and damaged PE fixtures that tests/fixtures/make_fixtures.py
generates, and the report texts their verification must end with."""

import json
import os

FIXTURE_DIR = os.environ.get("SIGREPORT_FIXTURES", "")

NAMED_STATUSES = {
    0x800B0001: "TRUST_E_PROVIDER_UNKNOWN",
    0x800B0002: "TRUST_E_ACTION_UNKNOWN",
    0x800B0003: "TRUST_E_SUBJECT_FORM_UNKNOWN",
    0x800B0004: "TRUST_E_SUBJECT_NOT_TRUSTED",
}


class Fixture:
    def __init__(self, entry):
        self.name = os.path.basename(entry["file"])
        self.path = os.path.join(FIXTURE_DIR, entry["file"])
        self.status = int(entry["status"], 16)
        self.signer_key_sha1 = entry["signer_key_sha1"]
        self.what = entry["what"]

    def content(self):
        with open(self.path, "rb") as file:
            return file.read()

    def verdict(self, status=None):
        """The verification's texts for `status` (the fixture's own unless
        given): the key hash and success, a named status, or hexadecimal."""
        status = self.status if status is None else status
        if status == 0:
            return [f"PublicKeyHash: {self.signer_key_sha1}\r\n", "CHECK SUCCESS"]
        prefix = "WinVerifyTrustEx Error hr="
        if status in NAMED_STATUSES:
            return [prefix + NAMED_STATUSES[status]]
        return [f"{prefix}{status:08x}\r\n"]


def load():
    with open(os.path.join(FIXTURE_DIR, "manifest.json")) as file:
        manifest = json.load(file)
    return [Fixture(entry) for entry in manifest["fixtures"]]


def catalog_members():
    """(catalog path, member path, status, signer key hash, what) for each
    file the fixtures judge as a member of a catalog."""
    with open(os.path.join(FIXTURE_DIR, "manifest.json")) as file:
        manifest = json.load(file)
    return [(os.path.join(FIXTURE_DIR, e["catalog"]), os.path.join(FIXTURE_DIR, e["file"]), int(e["status"], 16),
             e["signer_key_sha1"], e["what"]) for e in manifest["catalog_members"]]


def trusted_roots():
    """The PEM files of the roots the fixtures' chains are meant to end at."""
    with open(os.path.join(FIXTURE_DIR, "manifest.json")) as file:
        manifest = json.load(file)
    return [os.path.join(FIXTURE_DIR, root) for root in manifest["trusted_roots"]]


def ssl_cert_file():
    return os.path.join(FIXTURE_DIR, "trusted-roots.pem")
