"""The S3 error codes that ``exists`` raises again are exactly those the retry tries again.

The extension lists them in cpp/members_query.cpp (it cannot import them), the retry in
``quorvex.retrying._RETRIED_S3_CODES``; this test ties the two lists together.
"""

from __future__ import annotations

import pytest
from minio.error import S3Error
from test_bucket_ops import make_path, s3_error

from quorvex import retrying

# Codes a store answers with, transient or not; the retried ones are added below, so a code
# the extension raises again but the retry does not know (or the reverse) shows up here.
S3_CODES = [
    "AccessDenied", "BadDigest", "BucketAlreadyOwnedByYou", "EntityTooLarge",
    "ExpiredToken", "IncompleteBody", "InternalError", "InvalidAccessKeyId",
    "InvalidArgument", "InvalidBucketName", "InvalidObjectState", "InvalidRange",
    "InvalidRequest", "KeyTooLongError", "MethodNotAllowed", "MissingContentLength",
    "NoSuchKey", "NoSuchUpload", "NotImplemented", "OperationAborted", "PreconditionFailed",
    "RequestTimeTooSkewed", "RequestTimeout", "ServiceUnavailable", "SignatureDoesNotMatch",
    "SlowDown", "TemporaryRedirect", "ThrottlingException", "TooManyBuckets",
    "XAmzContentSHA256Mismatch", "ResponseInterrupted", "ServiceFailure",
]


def raises_again(code: str) -> bool:
    error = s3_error(code)
    p = make_path(stat_object=error)
    try:
        answer = p.exists
    except S3Error as caught:
        assert caught is error
        return True
    assert answer is False
    return False


def test_exists_raises_again_exactly_the_codes_the_retry_retries() -> None:
    retried = retrying._RETRIED_S3_CODES
    assert retried, "the retry retries no S3 code at all"
    candidates = sorted(set(S3_CODES) | set(retried))
    raised = {code for code in candidates if raises_again(code)}
    assert raised == set(retried)
    for code in retried:
        assert retrying.is_transient(s3_error(code))


@pytest.mark.parametrize("code", sorted(retrying._RETRIED_S3_CODES))
def test_a_transient_code_differing_only_in_case_or_spacing_is_an_answer(code: str) -> None:
    for variant in (code.lower(), code + " ", code.upper()):
        if variant != code:
            assert raises_again(variant) is False
